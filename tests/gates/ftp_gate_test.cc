// The FTP gate against scripted FTP servers on loopback, and its row in
// the service start-up.
#include "gates/ftp_gate.h"

#include <gtest/gtest.h>

#include <map>

#include "lib/net_context.h"
#include "services/services.h"

namespace netrove {
namespace {

using testing::Ask;

// Greets with `greeting` and answers each line by `answers` ("200 ok" for
// the others, "221 bye" for QUIT), in pieces split at "|".
struct ScriptedFtp : testing::LineServer {
  ScriptedFtp(std::string& received, std::string greeting,
              std::map<std::string, std::string> answers = {})
      : LineServer(
            received,
            [greeting, answers](const std::string& line) -> std::string {
              auto answer = answers.find(line.substr(0, std::max<size_t>(line.size(), 2) - 2));
              return line.empty()              ? greeting
                     : answer != answers.end() ? answer->second
                     : line == "QUIT\r\n"      ? "221 bye\r\n"
                                               : "200 ok\r\n";
            },
            '|') {}
  std::string target() const { return "@" + host(); }
};

class FtpGateTest : public ::testing::Test {
 protected:
  FtpGateTest() {
    testing::WriteFile("ftp.ip", "127.0.0.1\n");
    ctx_.config.Update([this](ConfigRecord& r) {
      r.ftp = port_;
      r.hide_ftp = false;
    });
    ctx_.shared.link_mode = kLinkOnline;
  }
  // What a client from `source` sees for `text` (it keeps sending).
  std::string Talk(const std::string& text, const char* source = "127.0.0.1") {
    return Ask(port_, text, source, false, 10000);
  }

  testing::NetTestContext ctx_;
  const uint16_t port_ = testing::FreeAnyPort();
  FtpGate gate_{ctx_.net, ctx_.config, {.server_greeting_ms = 500, .max_greeting_lines = 100}};
};

const std::string kGreeting = std::string(kFtpGateGreeting) + "\r\n";

// The login through the gate, and what ends a session before the relay.
TEST_F(FtpGateTest, FirstCommandNamesTheServerWhoseGreetingIsHidden) {
  std::string slow, endless;
  for (int i = 0; i < 40; ++i) slow += "220-slow\r\n|";  // 800 ms in all
  for (int i = 0; i < 150; ++i) endless += "220-more\r\n";
  const std::string login = "USER anonymous";
  struct Case {
    const char* name;
    std::string greeting, first_line, want_client, want_server;
  } cases[] = {
      {"multi-line greeting, name kept", "220-Welcome\r\n220-to the test\r\n220 ready\r\n",
       login + "%s\r\n", kGreeting + "331 name ok\r\n221 bye\r\n", login + "\r\nQUIT\r\n"},
      {"greeting in pieces", "22|0-a\r|\n2|20 b\r\n", login + "%s  \r\n",
       kGreeting + "331 name ok\r\n221 bye\r\n", login + "\r\nQUIT\r\n"},
      {"no @", "220 ready\r\n", login + "\r\n", kGreeting, ""},
      {"first line too long", "220 ready\r\n", login + "%s" + std::string(300, ' ') + "\r\n",
       kGreeting, ""},
      {"more greeting lines than the bound", endless + "220 ready\r\n", login + "%s\r\n", kGreeting,
       ""},
      {"greeting past its deadline", slow + "220 ready\r\n", login + "%s\r\n", kGreeting, ""},
      {"no 220", "421 too many users\r\n", login + "%s\r\n", kGreeting, ""},
  };
  ASSERT_TRUE(gate_.Start());
  for (const Case& c : cases) {
    std::string received, seen;
    {
      ScriptedFtp server(received, c.greeting, {{login, "331 name ok\r\n"}});
      std::string first = c.first_line;
      if (size_t mark = first.find("%s"); mark != std::string::npos)
        first.replace(mark, 2, server.target());
      seen = Talk(first + "QUIT\r\n");
    }  // the server's thread has ended
    EXPECT_EQ(seen, c.want_client) << c.name;
    EXPECT_EQ(received, c.want_server) << c.name;
  }
  // Nothing listens there; our own port is refused (and logged) before a connect.
  const std::string unreachable = "@127.0.0.1:" + std::to_string(testing::FreePort());
  EXPECT_EQ(Talk(login + unreachable + "\r\n"), kGreeting);
  EXPECT_EQ(Talk(login + "@127.0.0.1:" + std::to_string(port_) + "\r\n"), kGreeting);
  EXPECT_TRUE(
      ctx_.WaitForLine("WARNING! 127.0.0.1 Access denied to port " + std::to_string(port_)));
  EXPECT_EQ(Talk(login + unreachable + "\r\n", "127.0.0.2"), "");  // not in ftp.ip
  EXPECT_TRUE(testing::WaitUntil([&] { return ctx_.net.link_users().Users() == 0; }));
}

// The server's "227" lines are judged whole, also when they come in pieces.
TEST_F(FtpGateTest, PassiveAnswerNamingAnotherHostIsRefused) {
  const std::string refused = std::string(kFtpPassiveRefused) + "\r\n";
  const std::string here = "227 Entering Passive Mode (127,0,0,1,19,137)\r\n";
  struct Case {
    const char* command;
    std::string answer, want;
  } cases[] = {
      {"PASV here", here, here},
      {"PASV elsewhere", "227 Entering Passive Mode (10,0,0,1,19,137)\r\n", refused},
      {"PASV in pieces", "2|2|7 Entering (10,0,|0,1,19,137)\r\n", refused},
      {"PASV unbracketed", "227 Entering Passive Mode 10,0,0,1,19,137\r\n", refused},
      {"PASV multi-line", "227-passive\r\n 10,0,0,1,19,137\r\n227 (127,0,0,1,19,137)\r\n", refused},
      {"PASV too long", "227 (127,0,0,1,19,137)" + std::string(5000, ' ') + "\r\n", refused},
      {"PASV other loopback address", "227 (127,0,0,2,19,137)\r\n", refused},
      {"NOOP", "2|20 no|t passive|\r\n", "220 not passive\r\n"},
  };
  std::map<std::string, std::string> answers;
  std::string commands = "USER x", want = kGreeting + "331 x\r\n";
  answers["USER x"] = "331 x\r\n";
  for (const Case& c : cases) {
    answers[c.command] = c.answer;
    commands += std::string("\r\n") + c.command;
    want += c.want;
  }
  std::string received;
  ScriptedFtp server(received, "220 ready\r\n", answers);
  ASSERT_TRUE(gate_.Start());
  commands.insert(6, server.target());
  EXPECT_EQ(Talk(commands + "\r\nQUIT\r\n"), want + "221 bye\r\n");
}

// FTP on a port with no ftp.ip is reported as not started; with the file
// it serves on that port.
TEST(FtpGateServiceTest, StartsOnlyWithItsAddressList) {
  testing::NetTestContext ctx;
  ctx.shared.link_mode = kLinkOnline;
  const uint16_t port = testing::FreeAnyPort();
  ctx.config.Update([port](ConfigRecord& r) {
    r.ftp = port;
    r.hide_ftp = false;
  });
  Services services(ctx.net, ctx.log, ctx.console, ctx.config);
  services.Start();
  EXPECT_TRUE(ctx.Has("!NOT! FTP-gate server started"));
  EXPECT_EQ(Ask(port, ""), "<refused>");
  services.Stop();
  testing::WriteFile("ftp.ip", "127.0.0.1\n");
  services.Start();
  EXPECT_TRUE(ctx.Has("FTP-gate server started"));
  EXPECT_EQ(Ask(port, "USER a\r\n"), kGreeting);
}

}  // namespace
}  // namespace netrove
