// Modem statistics: the answer's bounds and the open retries on a scripted port, the entry's
// ModemPort, the log lines, and the real serial layer on a pseudo-terminal standing in for the
// modem (the command arrives, silence ends the read, the port is ours alone, its settings return).
#include <gtest/gtest.h>
#include <pty.h>

#include <deque>
#include <future>

#include "dialer/modem_statistics.h"
#include "dialer/phonebook_access.h"
#include "lib/test_context.h"

namespace netrove {
namespace {

using Strings = std::vector<std::string>;
using testing::FakeEnv;

// A port that refuses its first `busy` opens, records what is written and answers each read with
// the next chunk ("" is a silence), or with `endless` bytes once the chunks are used up. Each read
// takes `read_ms` of the fake clock.
struct ScriptedPorts final : SerialPorts {
  struct Line final : SerialLine {
    explicit Line(ScriptedPorts& p) : p(p) {}
    bool Write(std::string_view data, int) override {
      p.written += data;
      return !p.fail_write;
    }
    int64_t Read(char* buffer, size_t n, int timeout_ms) override {
      p.timeouts.push_back(timeout_ms);
      p.env.Advance(p.read_ms);
      std::string chunk = p.endless;
      if (!p.chunks.empty()) {
        chunk = p.chunks.front();
        p.chunks.pop_front();
      }
      chunk = chunk.substr(0, n);
      std::copy(chunk.begin(), chunk.end(), buffer);
      return static_cast<int64_t>(chunk.size());
    }
    ScriptedPorts& p;
  };
  explicit ScriptedPorts(FakeEnv& env) : env(env) {}
  std::unique_ptr<SerialLine> Open(const std::string& path) override {
    opened.push_back(path);
    if (static_cast<int>(opened.size()) <= busy) return nullptr;
    return std::make_unique<Line>(*this);
  }

  FakeEnv& env;
  int busy = 0;
  bool fail_write = false;
  std::deque<std::string> chunks;
  std::string endless;
  int64_t read_ms = 0;
  Strings opened;
  std::string written;
  std::vector<int> timeouts;
};

TEST(ModemAnswer, BoundsRetriesAndFailures) {
  struct Case {
    const char* name;
    int busy;
    bool fail_write;
    std::deque<std::string> chunks;
    std::string endless;
    int64_t read_ms;
    std::string want;
    size_t opens;
    int64_t clock_ms;  // fake time the read took
  };
  const Case cases[] = {
      {"answer ends at the silence", 0, false, {"OK\r", "\n", "", "late"}, "", 0, "OK\r\n", 1, 0},
      {"busy twice, third try", 2, false, {"OK"}, "", 0, "OK", 3, 2000},
      {"busy three times: nothing", 3, false, {"OK"}, "", 0, "", 3, 2000},
      {"write fails: nothing read", 0, true, {"OK"}, "", 0, "", 1, 0},
      {"a chatty modem is cut at the cap",
       0,
       false,
       {},
       std::string(300, 'x'),
       0,
       std::string(1000, 'x'),
       1,
       0},
      {"a slow modem is cut at the time bound",
       0,
       false,
       {},
       "y",
       1000,
       std::string(5, 'y'),
       1,
       5000},
  };
  ModemReadOptions options;
  options.max_answer = 1000;
  options.max_total_ms = 5000;
  for (const Case& c : cases) {
    FakeEnv env;
    ScriptedPorts ports(env);
    ports.busy = c.busy;
    ports.fail_write = c.fail_write;
    ports.chunks = c.chunks;
    ports.endless = c.endless;
    ports.read_ms = c.read_ms;
    const int64_t start = env.now_ms();
    EXPECT_EQ(ReadModemAnswer(env, ports, "/dev/ttyUSB0", "ati6", options), c.want) << c.name;
    EXPECT_EQ(ports.opened.size(), c.opens) << c.name;
    EXPECT_EQ(env.now_ms() - start, c.clock_ms) << c.name;
    if (ports.opened.size() > static_cast<size_t>(c.busy)) {
      EXPECT_EQ(ports.written, "ati6\r\n") << c.name;
    }
    for (int t : ports.timeouts) EXPECT_LE(t, 1500) << c.name;
  }
}

TEST(ModemAnswer, LinesSplitAtCarriageReturns) {
  const std::string m = std::string(1, kNoStampMarker) + "> ";
  struct Case {
    std::string answer;
    Strings want;
  };
  const Case cases[] = {
      {"", {}},
      {"ati6\r\r\nSPEED 28800\r\n", {m + "ati6", m + "", m + "SPEED 28800"}},
      {"A\r\n\nB\rC", {m + "A", m + "\nB", m + "C"}},  // only one line feed is dropped
      {"\r\n", {m + ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(ModemAnswerLines(c.answer), c.want) << c.answer;
}

// The port comes from the configured entry's ModemPort; without one, or without
// MODEMSTATISTICS, the modem is not asked.
TEST(ModemStatisticsTest, PortOfTheConfiguredEntry) {
  testing::TestContext ctx;
  testing::WriteFile(ctx.scratch / "phonebook",
                     "[ISP]\nDevice command\nModemPort /dev/ttyS1\n[Sim]\nDevice sim\n");
  PhonebookRemoteAccess ras(ctx.env, ctx.scratch / "phonebook", ctx.scratch / "run");
  FakeEnv clock;
  ScriptedPorts ports(clock);
  ports.chunks = {"CONNECT 28800"};
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
      {"Missing", "ati6", "", {}},
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
  // What the master side reads within `ms`, up to `limit` bytes.
  std::string FromPort(int ms, size_t limit) {
    std::string out;
    char buf[256];
    for (auto end = testing::SteadyClock::now() + testing::Ms(ms); out.size() < limit;) {
      struct pollfd p = {master_, POLLIN, 0};
      auto left = std::chrono::duration_cast<testing::Ms>(end - testing::SteadyClock::now());
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      ssize_t n = read(master_, buf, std::min(sizeof buf, limit - out.size()));
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
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
  EXPECT_EQ(FromPort(3000, 6), "ati6\r\n");
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
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  // Free again: the lock and the exclusive mode went with the close.
  EXPECT_NE(ports_.Open(path_), nullptr);
}

TEST_F(PtyModem, NotATerminalAndMissingDeviceDoNotOpen) {
  testing::ScratchDir dir;
  testing::WriteFile(dir / "plain", "x");
  EXPECT_EQ(ports_.Open(dir / "plain"), nullptr);
  EXPECT_EQ(ports_.Open(dir / "missing"), nullptr);
  EXPECT_EQ(ReadModemAnswer(env_, ports_, dir / "missing", "ati6",
                            ModemReadOptions{.open_tries = 2, .retry_ms = 10}),
            "");
}

}  // namespace
}  // namespace netrove
