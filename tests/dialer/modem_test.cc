// Modem statistics: the answer's bounds and the open retries on a scripted port, the entry's
// ModemPort, and the real serial layer on a pseudo-terminal standing in for the
// modem (the command arrives, silence ends the read, the port is ours alone, its settings return).
#include <gtest/gtest.h>
#include <pty.h>

#include <future>

#include "dialer/modem_statistics.h"
#include "dialer/phonebook_access.h"
#include "lib/test_context.h"

namespace netrove {
namespace {

using Strings = std::vector<std::string>;
using testing::FakeEnv;

// A port that refuses its first `busy` opens and answers the first read (each read when
// `endless`) with `answer` cut to the room given, each read taking `read_ms` of the fake clock.
struct ScriptedPorts final : SerialPorts {
  struct Line final : SerialLine {
    explicit Line(ScriptedPorts& p) : p(p) {}
    bool Write(std::string_view, int) override { return true; }
    int64_t Read(char* buffer, size_t n, int) override {
      p.env.Advance(p.read_ms);
      if (said++ > 0 && !p.endless) return 0;  // then silent
      size_t count = p.answer.copy(buffer, n);
      return static_cast<int64_t>(count);
    }
    ScriptedPorts& p;
    int said = 0;
  };
  ScriptedPorts(FakeEnv& env, int busy, std::string answer, bool endless, int64_t read_ms = 0)
      : env(env), busy(busy), answer(std::move(answer)), endless(endless), read_ms(read_ms) {}
  std::unique_ptr<SerialLine> Open(const std::string& path) override {
    opened.push_back(path);
    if (static_cast<int>(opened.size()) <= busy) return nullptr;
    return std::make_unique<Line>(*this);
  }
  FakeEnv& env;
  const int busy;
  const std::string answer;
  const bool endless;
  const int64_t read_ms;
  Strings opened;
};

TEST(ModemAnswer, RetriesAndTheBoundsOfAModemThatKeepsTalking) {
  struct Case {
    const char* name;
    int busy;
    std::string answer;
    int64_t read_ms;
    size_t want_size, want_opens;
    int64_t clock_ms;  // fake time the whole read took
  };
  const Case cases[] = {
      {"busy three times: nothing", 3, "x", 0, 0, 3, 2000},
      {"busy twice, then cut at the cap", 2, std::string(300, 'x'), 0, 1000, 3, 2000},
      {"a slow modem, cut at the time bound", 0, "y", 1000, 5, 1, 5000},
  };
  for (const Case& c : cases) {
    FakeEnv env;
    ScriptedPorts ports(env, c.busy, c.answer, true, c.read_ms);
    ModemReadOptions options{.max_answer = 1000, .max_total_ms = 5000};
    const int64_t start = env.now_ms();
    EXPECT_EQ(ReadModemAnswer(env, ports, "/dev/ttyUSB0", "ati6", options).size(), c.want_size)
        << c.name;
    EXPECT_EQ(ports.opened.size(), c.want_opens) << c.name;
    EXPECT_EQ(env.now_ms() - start, c.clock_ms) << c.name;
  }
}

// The port comes from the configured entry's ModemPort; without one, or without
// MODEMSTATISTICS, the modem is not asked.
TEST(ModemStatisticsTest, PortOfTheConfiguredEntry) {
  testing::TestContext ctx;
  testing::WriteFile(ctx.scratch / "phonebook",
                     "[ISP]\nDevice command\nModemPort /dev/ttyS1\n[Sim]\nDevice sim\n");
  PhonebookRemoteAccess ras(ctx.env, ctx.scratch / "phonebook", ctx.scratch / "run");
  FakeEnv clock;
  ScriptedPorts ports(clock, 0, "CONNECT 28800", false);
  ModemStatistics modem(clock, ras, ctx.config, ports);
  struct Case {
    const char* entry;
    const char* command;
    std::string want;
    Strings opened;
  };
  const Case cases[] = {
      {"ISP", "", "", {}},
      {"Sim", "ati6", "", {}},
      {"isp", "ati6", "CONNECT 28800", {"/dev/ttyS1"}},
  };
  for (const Case& c : cases) {
    ports.opened.clear();
    ctx.config.Update([&](ConfigRecord& r) {
      r.entry_name = c.entry;
      r.modem_statistics = c.command;
    });
    EXPECT_EQ(modem.ReadModemStatistics(), c.want) << c.entry;
    EXPECT_EQ(ports.opened, c.opened) << c.entry;
  }
}

// The real serial layer on a pseudo-terminal: its master side is the modem.
class PtyModem : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    path_ = name;
  }
  void TearDown() override {
    close(master_);
    close(slave_);
  }
  // What the modem side reads within 3 s, up to `limit` bytes.
  std::string FromPort(size_t limit) {
    std::string out(limit, '\0');
    struct pollfd p = {master_, POLLIN, 0};
    ssize_t n = poll(&p, 1, 3000) == 1 ? read(master_, out.data(), limit) : 0;
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
  }
  void ToPort(const std::string& text) {
    ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  int master_ = -1, slave_ = -1;
  std::string path_;
  PosixEnv env_;
  PosixSerialPorts ports_;
};

TEST_F(PtyModem, CommandAnswerSilenceExclusivityAndSettingsRestored) {
  termios before{};
  ASSERT_EQ(tcgetattr(slave_, &before), 0);
  before.c_lflag |= ICANON | ECHO;
  before.c_oflag |= OPOST | ONLCR;
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(slave_, &before), 0);

  ModemReadOptions options;
  options.silence_ms = 300;
  auto start = testing::SteadyClock::now();
  std::atomic<int64_t> took{0};
  auto answer = std::async(std::launch::async, [&] {
    std::string text = ReadModemAnswer(env_, ports_, path_, "ati6", options);
    took = testing::MsSince(start);
    return text;
  });
  // Raw bytes both ways: no "\r\r\n" from output processing, no echo of the answer.
  EXPECT_EQ(FromPort(6), "ati6\r\n");
  EXPECT_EQ(ports_.Open(path_), nullptr);  // held by the reader
  ToPort("Line 1\r\n");
  std::this_thread::sleep_for(testing::Ms(100));
  ToPort("Line 2\r\n");
  std::this_thread::sleep_for(testing::Ms(900));  // the read has ended by now
  ToPort("late\r\n");
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(answer.get(), "Line 1\r\nLine 2\r\n");
  EXPECT_GE(took, 400);  // the pause of 100 ms did not end it, one of 300 ms did

  termios after{};
  ASSERT_EQ(tcgetattr(slave_, &after), 0);
  auto settings = [](const termios& t) {
    return std::make_tuple(t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, cfgetospeed(&t));
  };
  EXPECT_EQ(settings(after), settings(before));
  // Free again: the lock and the exclusive mode went with the close.
  EXPECT_NE(ports_.Open(path_), nullptr);
}

}  // namespace
}  // namespace netrove
