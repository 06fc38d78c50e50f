// The NNTP gate against scripted news servers on loopback: the kept lines
// replayed (bodies read to their "."), the server of the login, the cap on
// lines before the login, our own ports and unlisted clients refused.
#include "gates/nntp_gate.h"

#include <gtest/gtest.h>

#include "lib/net_context.h"

namespace netrove {
namespace {

using testing::WaitUntil;
using Lines = std::vector<std::string>;

// Greets, answers each line by its command and records the lines; one
// connection at a time, each ended by QUIT, the close or 3 s of silence.
class ScriptedNews {
 public:
  ~ScriptedNews() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  Lines lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }

 private:
  static std::string Answer(const std::string& line) {
    if (line.starts_with("MODE")) return "200 reader";
    if (line.starts_with("GROUP")) return "211 1 1 1 g";
    if (line == "LIST") return "215 groups\r\nalt.test 2 1 y\r\n..dots 1 1 y\r\n.";
    if (line.starts_with("AUTHINFO PASS")) return "281 welcome";
    return line == "QUIT" ? "205 bye" : "381 password?";
  }
  void Serve() {
    for (int c; (c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; close(c)) {
      bool open = testing::SendAll(c, "200 news ready\r\n");
      std::string line;
      for (std::string byte; open && !(byte = testing::ReadAll(c, 3000, 1)).empty();) {
        if (!(line += byte).ends_with("\r\n")) continue;
        line.resize(line.size() - 2);
        std::unique_lock<std::mutex> lock(mu_);
        lines_.push_back(line);
        lock.unlock();
        open = testing::SendAll(c, Answer(line) + "\r\n") && line != "QUIT";
        line.clear();
      }
    }
  }

  std::mutex mu_;
  Lines lines_;  // guarded by mu_
  uint16_t port_ = 0;
  int fd_ = testing::BindLoopback(port_);
  std::thread thread_{[this] { Serve(); }};
};

// The gate with nntp.ip admitting 127.0.0.1, NNTP the scripted server, the link on-line.
class NntpGateTest : public ::testing::Test {
 protected:
  NntpGateTest() {
    testing::WriteFile("nntp.ip", "127.0.0.1\n");
    ctx_.config.Update([&](ConfigRecord& r) {
      r.nntp = news_.host();
      r.hide_nntp = false;
    });
    ctx_.shared.link_mode = kLinkOnline;
    EXPECT_TRUE(gate_.Start());
  }
  std::string Talk(const std::string& text, const char* source = "127.0.0.1") {
    return testing::Ask(port_, text, source, false, 10000);
  }
  static std::string Ok(int n) {
    std::string answers;
    for (int i = 0; i < n; ++i) answers += "201 OK.\r\n";
    return answers;
  }

  testing::NetTestContext ctx_;
  ScriptedNews news_;
  uint16_t port_ = testing::FreeAnyPort();
  NntpGate gate_{
      ctx_.net, ctx_.config, {.port = port_, .client_line_ms = 30000, .server_reply_ms = 30000}};
};

TEST_F(NntpGateTest, KeptLinesAreReplayedAndTheLoginIsRelayedToItsServer) {
  ScriptedNews other;
  const auto start = testing::SteadyClock::now();
  EXPECT_EQ(Talk("MODE READER\r\nLIST\r\nauthinfo user bob@" + other.host() +
                 "\r\nAUTHINFO PASS pw\r\nQUIT\r\n"),
            Ok(3) + "381 password?\r\n281 welcome\r\n205 bye\r\n");
  EXPECT_LT(testing::MsSince(start), 5000);  // LIST's body ends at its ".", not at a silence
  EXPECT_EQ(other.lines(),
            (Lines{"MODE READER", "LIST", "authinfo user bob", "AUTHINFO PASS pw", "QUIT"}));
  // Without "@" the login goes to the NNTP server; the link is held and given back.
  EXPECT_EQ(Talk("AUTHINFO USER ann\r\nQUIT\r\n"), Ok(1) + "381 password?\r\n205 bye\r\n");
  EXPECT_EQ(news_.lines(), (Lines{"AUTHINFO USER ann", "QUIT"}));
  EXPECT_TRUE(WaitUntil([&] { return ctx_.net.link_users().Users() == 0; }));
  EXPECT_NE(ctx_.net.link_users().LastUse(), 0u);
}

TEST_F(NntpGateTest, LinesBeforeTheLoginAreCappedAndOurOwnPortsRefused) {
  // 100 lines are kept, each cut at 255 characters, and the login may follow them.
  std::string lines = "GROUP " + std::string(70000, 'g') + "\r\n";
  for (int i = 1; i < 100; ++i) lines += "GROUP g\r\n";
  EXPECT_EQ(Talk(lines + "AUTHINFO USER z\r\nQUIT\r\n"), Ok(101) + "381 password?\r\n205 bye\r\n");
  const Lines got = news_.lines();
  ASSERT_EQ(got.size(), 102u);
  EXPECT_EQ(got[0], "GROUP " + std::string(249, 'g'));
  EXPECT_EQ(got[100], "AUTHINFO USER z");
  // One more line closes the connection; so does a login naming the gate itself.
  EXPECT_EQ(Talk(lines + "GROUP g\r\nAUTHINFO USER z\r\n"), Ok(101));
  const std::string port = std::to_string(port_);
  EXPECT_EQ(Talk("AUTHINFO USER x@127.0.0.1:" + port + "\r\n"), Ok(1));
  EXPECT_TRUE(ctx_.WaitForLine("WARNING! 127.0.0.1 Access denied to port " + port));
  EXPECT_EQ(Talk("AUTHINFO USER x\r\n", "127.0.0.2"), "");  // not in nntp.ip
  EXPECT_EQ(news_.lines().size(), 102u);
}

}  // namespace
}  // namespace netrove
