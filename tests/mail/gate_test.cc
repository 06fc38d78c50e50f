// The POP3 gate on loopback: Dovecot, read with poplib, as the provider's (127.0.0.3)
// and the local (127.0.0.1) server; scripted servers and hostile clients.
#include <gtest/gtest.h>

#include <memory>

#include "dovecot.h"
#include "mail/pop3_gate.h"
#include "runtime/text.h"

namespace netrove {
namespace {

using testing::WaitUntil;
using testing::WriteFile;

const std::string kGreeting = "+OK POP3-GATE started.\r\n";
const std::string kLocalGreeting = "+OK NETROVE POP3-server\r\n";
const std::string kMail = "1 [b'Subject: hi', b'', b'hello through the gate']\n";

class Pop3GateTest : public ::testing::Test {
 protected:
  // The gate with `provider` as POP3, pop3.ip admitting 127.0.0.1, the link on-line.
  void Start(const std::string& provider) {
    WriteFile("pop3.ip", "127.0.0.1\n");
    ctx_.config.Update([&](ConfigRecord& r) {
      r.pop3 = provider;
      r.hide_pop3 = false;
    });
    ctx_.shared.link_mode = kLinkOnline;
    port_ = testing::FreeAnyPort();
    gate_ = std::make_unique<Pop3Gate>(
        ctx_.net, ctx_.log, ctx_.config,
        [](SocketVar& client) { (void)SendLine(client, "+OK NETROVE POP3-server"); },
        [this] { return local_port_.load(); },
        Pop3GateOptions{.port = port_, .user_line_ms = 500, .server_reply_ms = 3000});
    ASSERT_TRUE(gate_->Start());
  }
  // Dovecot on the scratch directory: "anna" ("secret") and "anna@home" ("home") on one
  // message; its port, 0 when missing or failed (its users run it: root starts it).
  uint16_t StartDovecot() {
    testing::WriteFile(ctx_.scratch / "mail/new/1.eml",
                       "Subject: hi\r\n\r\nhello through the gate\r\n");
    return testing::StartDovecot(ctx_, "anna:{PLAIN}secret\nanna@home:{PLAIN}home\n", dovecot_);
  }
  std::string Talk(const std::string& text, const char* source = "127.0.0.1") {
    return testing::Ask(port_, text, source, false, 3000);
  }
  // poplib through the gate: the message count and the first message, or the refusal.
  std::string ReadMail(const std::string& user, const std::string& password) {
    const std::string out = ctx_.scratch / "poplib.out",
                      command = "/usr/bin/python3 " MAIL_TEST_DIR "/poplib_client.py ";
    (void)ctx_.env.RemoveFile(out);  // (the output is appended)
    const std::string arguments = std::to_string(port_) + " " + user + " " + password;
    (void)RunCommandLine(ctx_.env, command + arguments, {}, out, 30000);
    return ctx_.Read(out);
  }

  testing::NetTestContext ctx_;
  uint16_t port_ = 0;
  std::atomic<uint16_t> local_port_{0};
  std::unique_ptr<Pop3Gate> gate_;
  std::unique_ptr<Process> dovecot_;  // its group is killed with it
};

TEST_F(Pop3GateTest, MailIsReadFromTheLocalAndARemoteServer) {
  const uint16_t dovecot = StartDovecot();
  if (!dovecot) GTEST_SKIP() << "Dovecot (dovecot-pop3d) is missing, failed or needs root";
  const std::string remote = "127.0.0.3:" + std::to_string(dovecot);
  Start(remote);
  // This computer's name (any case) is the local server, no link; the last "@" splits.
  local_port_ = dovecot;
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  EXPECT_EQ(ReadMail("anna@home@" + UpperAscii(name), "home"), kMail);
  EXPECT_EQ(ctx_.net.link_users().LastUse(), 0u);
  // The login's host, or the provider's, is reached with the link, held once, given back.
  EXPECT_EQ(ReadMail("anna@" + remote, "secret"), kMail);
  EXPECT_EQ(ReadMail("anna", "secret"), kMail);
  EXPECT_TRUE(WaitUntil([&] { return ctx_.net.link_users().Users() == 0; }));
  EXPECT_NE(ctx_.net.link_users().LastUse(), 0u);
  // The server's refusal of the password reaches the client unchanged.
  EXPECT_EQ(ReadMail("anna", "wrong"), "b'-ERR [AUTH] Authentication failed.'\n");
}

TEST_F(Pop3GateTest, ScriptedServersHostileClientsAndTheLocalSession) {
  testing::TcpOrigin accepts("+OK hello\r\n-ERR not yet\r\n+OK now\r\n+OK relayed\r\n"),
      refuses("+OK hello\r\n-ERR no such user\r\n");
  Start(accepts.host());
  // No USER first, an overlong or binary line, silence: closed within the wait.
  const auto start = testing::SteadyClock::now();
  for (const std::string& text :
       {std::string("CAPA\r\nUSER anna\r\n"), "USER " + std::string(10000, 'a') + "\r\n",
        std::string("\x00\xff\xfe\x80USER\r\n", 11), std::string("USER anna"), std::string()})
    EXPECT_EQ(Talk(text), kGreeting) << text.substr(0, 20);
  EXPECT_LT(testing::MsSince(start), 3000);
  EXPECT_EQ(accepts.served(), 0);
  // The server may refuse USER before accepting it; if it closes first, no reply.
  EXPECT_EQ(Talk("USER anna\r\n"), kGreeting + "+OK Send password\r\n+OK relayed\r\n");
  EXPECT_EQ(Talk("USER anna@" + refuses.host() + "\r\n"), kGreeting);
  EXPECT_TRUE(WaitUntil([&] { return ctx_.net.link_users().Users() == 0; }));
  // The gate's own port, named as a remote host, is refused and reported.
  const std::string port = std::to_string(port_);
  EXPECT_EQ(Talk("USER x@127.0.0.1:" + port + "\r\n"), kGreeting);
  EXPECT_TRUE(ctx_.WaitForLine("WARNING! 127.0.0.1 Access denied to port " + port));
  // Unlisted clients, and everyone when the provider is this computer, get the local server.
  EXPECT_EQ(Talk("", "127.0.0.2"), kLocalGreeting);
  ctx_.config.Update([](ConfigRecord& r) { r.pop3 = "LocalHost"; });
  EXPECT_EQ(Talk(""), kLocalGreeting);
}

}  // namespace
}  // namespace netrove
