// The POP3 gate between mail clients and servers on loopback: a real
// Dovecot, read through the gate with Python's poplib, serves as the
// provider's server (127.0.0.3) and as the local POP3 server (127.0.0.1);
// scripted servers and hostile clients.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>

#include "lib/net_context.h"
#include "mail/pop3_gate.h"
#include "runtime/text.h"

namespace netrove {
namespace {

using testing::WaitUntil;
using testing::WriteFile;

const std::string kGreeting = "+OK POP3-GATE started.\r\n";
const std::string kLocalGreeting = "+OK NETROVE POP3-server\r\n";
const std::string kMail = "1 [b'Subject: hi', b'', b'hello through the gate']";

const char kDovecotConf[] = R"(base_dir = DIR/run
state_dir = DIR/run
log_path = DIR/dovecot.log
protocols = pop3
listen = 127.0.0.1, 127.0.0.3
ssl = no
disable_plaintext_auth = no
default_internal_user = dovecot
default_login_user = dovenull
first_valid_uid = 1
passdb {
  driver = passwd-file
  args = DIR/passwd
}
userdb {
  driver = passwd-file
  args = DIR/passwd
}
mail_location = maildir:~
service pop3-login {
  inet_listener pop3 {
    port = PORT
  }
}
)";

// Dovecot with the users "anna" and "anna@home" (password "secret") on one
// maildir holding one message; configuration, sockets, state, log and mail
// all in `dir`. port() is 0 when Dovecot is missing or did not start.
class Dovecot {
 public:
  explicit Dovecot(const std::string& dir) {
    const passwd* user = getpwnam("dovecot");  // its processes run as its users: root starts it
    if (!user || geteuid() != 0 || access("/usr/sbin/dovecot", X_OK) != 0) return;
    chmod(dir.c_str(), 0755);
    std::filesystem::create_directories(dir + "/mail/new");
    WriteFile(dir + "/mail/new/1.eml", "Subject: hi\r\n\r\nhello through the gate\r\n");
    if (std::system(("chown -R dovecot:dovecot " + dir + "/mail").c_str()) != 0) return;
    const std::string owner = ":" + std::to_string(user->pw_uid) + ":" +
                              std::to_string(user->pw_gid) + "::" + dir + "/mail\n";
    WriteFile(dir + "/passwd", "anna:{PLAIN}secret" + owner + "anna@home:{PLAIN}secret" + owner);
    const uint16_t port = testing::FreePort();
    std::string conf = kDovecotConf;
    for (size_t at; (at = conf.find("DIR")) != std::string::npos;) conf.replace(at, 3, dir);
    conf.replace(conf.find("PORT"), 4, std::to_string(port));
    WriteFile(dir + "/dovecot.conf", conf);
    const std::string path = dir + "/dovecot.conf";
    const char* argv[] = {"dovecot", "-F", "-c", path.c_str(), nullptr};
    if (posix_spawn(&pid_, "/usr/sbin/dovecot", nullptr, nullptr, const_cast<char**>(argv),
                    environ) != 0)
      return;
    auto listening = [port] {
      int fd = testing::ConnectLoopback(port, "127.0.0.3");
      return fd >= 0 && close(fd) == 0;
    };
    if (WaitUntil(listening, 10000)) port_ = port;
  }
  ~Dovecot() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!WaitUntil([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, 5000)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  uint16_t port() const { return port_; }

 private:
  uint16_t port_ = 0;
  pid_t pid_ = 0;
};

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
    Pop3GateOptions options;
    options.port = port_ = testing::FreeAnyPort();
    options.user_line_ms = 500;
    options.server_reply_ms = 3000;
    gate_ = std::make_unique<Pop3Gate>(
        ctx_.net, ctx_.log, ctx_.config,
        [](SocketVar& client) { (void)SendLine(client, "+OK NETROVE POP3-server"); },
        [this] { return local_port_.load(); }, options);
    ASSERT_TRUE(gate_->Start());
  }
  std::string Talk(const std::string& text, const char* source = "127.0.0.1") {
    return testing::Ask(port_, text, source, false, 3000);
  }
  // poplib through the gate: the message count and the first message, or the error.
  std::string ReadMail(const std::string& user, const std::string& password) {
    std::string out, command =
                         "timeout 30 /usr/bin/python3 -c \"import poplib\n"
                         "p = poplib.POP3('127.0.0.1', " +
                         std::to_string(port_) + ", timeout=10)\np.user('" + user +
                         "')\np.pass_('" + password +
                         "')\nprint(p.stat()[0], p.retr(1)[1])\np.quit()\" 2>&1";
    if (FILE* pipe = popen(command.c_str(), "r")) {
      char buf[4096];
      for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
      pclose(pipe);
    }
    return out;
  }

  testing::NetTestContext ctx_;
  uint16_t port_ = 0;
  std::atomic<uint16_t> local_port_{0};
  std::unique_ptr<Pop3Gate> gate_;
};

TEST_F(Pop3GateTest, MailIsReadFromTheLocalAndARemoteServer) {
  Dovecot dovecot(ctx_.scratch.path());
  if (!dovecot.port()) GTEST_SKIP() << "Dovecot (dovecot-pop3d) is missing, failed or needs root";
  const std::string remote = "127.0.0.3:" + std::to_string(dovecot.port());
  Start(remote);
  // This computer's name, in any case, is the local server, without the
  // link; the last "@" splits, so the login is "anna@home".
  local_port_ = dovecot.port();
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  EXPECT_EQ(ReadMail("anna@home@" + UpperAscii(name), "secret"), kMail + "\n");
  EXPECT_EQ(ctx_.net.link_users().LastUse(), 0u);
  // The host of the login, and the provider's for a plain login, are
  // reached with the link, held once and given back.
  EXPECT_EQ(ReadMail("anna@" + remote, "secret"), kMail + "\n");
  EXPECT_EQ(ReadMail("anna", "secret"), kMail + "\n");
  EXPECT_TRUE(WaitUntil([&] { return ctx_.net.link_users().Users() == 0; }));
  EXPECT_NE(ctx_.net.link_users().LastUse(), 0u);
  // The server's refusal of the password reaches the client unchanged.
  EXPECT_NE(ReadMail("anna", "wrong").find("b'-ERR [AUTH] Authentication failed.'"),
            std::string::npos);
}

TEST_F(Pop3GateTest, UnlistedClientsAndALocalProviderGetTheLocalSession) {
  Start("pop.example.invalid");
  EXPECT_EQ(Talk("", "127.0.0.2"), kLocalGreeting);
  ctx_.config.Update([](ConfigRecord& r) { r.pop3 = "LocalHost"; });
  EXPECT_EQ(Talk(""), kLocalGreeting);
}

TEST_F(Pop3GateTest, TheServerMayRefuseUserBeforeAcceptingIt) {
  testing::TcpOrigin accepts("+OK hello\r\n-ERR not yet\r\n+OK now\r\n+OK relayed\r\n");
  Start(accepts.host());
  EXPECT_EQ(Talk("USER anna\r\n"), kGreeting + "+OK Send password\r\n+OK relayed\r\n");
  // A server that closes before accepting leaves the client without a reply.
  testing::TcpOrigin refuses("+OK hello\r\n-ERR no such user\r\n");
  EXPECT_EQ(Talk("USER anna@" + refuses.host() + "\r\n"), kGreeting);
  EXPECT_TRUE(WaitUntil([&] { return ctx_.net.link_users().Users() == 0; }));
}

TEST_F(Pop3GateTest, HostileClientsAreClosedWithinTheWait) {
  testing::TcpOrigin server("+OK hello\r\n+OK\r\n");
  Start(server.host());
  const auto start = testing::SteadyClock::now();
  for (const std::string& text :
       {std::string("CAPA\r\nUSER anna\r\n"), "USER " + std::string(10000, 'a') + "\r\n",
        std::string("\x00\xff\xfe\x80USER\r\n", 11), std::string("USER anna"), std::string()}) {
    EXPECT_EQ(Talk(text), kGreeting) << text.substr(0, 20);
  }
  EXPECT_LT(testing::MsSince(start), 3000);
  EXPECT_EQ(server.served(), 0);
  // The gate's own port, named as a remote host, is refused and reported.
  const std::string port = std::to_string(port_);
  EXPECT_EQ(Talk("USER x@127.0.0.1:" + port + "\r\n"), kGreeting);
  EXPECT_TRUE(ctx_.WaitForLine("WARNING! 127.0.0.1 Access denied to port " + port));
}

}  // namespace
}  // namespace netrove
