// The POP3 gate between mail clients and servers on loopback: a real
// Dovecot as the provider's server, read through the gate with Python's
// poplib; a stand-in for the local POP3 server; scripted and hostile peers.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
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

std::string HostName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

// The local POP3 server's stand-in: greets, answers every line with "+OK "
// and the line, closes after QUIT; keeps the first line of the last client.
class LocalStandIn {
 public:
  LocalStandIn() : fd_(testing::BindLoopback(port_)) {}
  ~LocalStandIn() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  uint16_t port() const { return port_; }
  std::string first_line() const {
    std::lock_guard<std::mutex> lock(mu_);
    return first_line_;
  }

 private:
  void Serve() {
    for (int c; (c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; close(c)) {
      (void)testing::SendAll(c, kLocalGreeting);
      std::string in, more;
      for (bool first = true; (more = testing::ReadAll(c, 2000, 1)) != "";) {
        in += more;
        size_t end = in.find("\r\n");
        if (end == std::string::npos) continue;
        std::string line = in.substr(0, end);
        in.erase(0, end + 2);
        if (first) {
          std::lock_guard<std::mutex> lock(mu_);
          first_line_ = line;
          first = false;
        }
        (void)testing::SendAll(c, "+OK " + line + "\r\n");
        if (line == "QUIT") break;
      }
    }
  }

  uint16_t port_ = 0;
  int fd_;
  mutable std::mutex mu_;
  std::string first_line_;  // guarded by mu_
  std::thread thread_{[this] { Serve(); }};
};

// Dovecot on 127.0.0.3 with the user "anna" (password "secret") and one
// message; its configuration, sockets, state, log and mail all live in
// `dir`. running() is false when Dovecot is not installed or did not start.
class Dovecot {
 public:
  explicit Dovecot(const std::string& dir) {
    const passwd* user = getpwnam("dovecot");
    if (!user || access("/usr/sbin/dovecot", X_OK) != 0) return;
    namespace fs = std::filesystem;
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const std::string mail = dir + "/mail/anna";
    for (const char* sub : {"/new", "/cur", "/tmp"}) fs::create_directories(mail + sub);
    WriteFile(mail + "/new/1.eml", "From: a@b\r\nSubject: hi\r\n\r\nhello through the gate\r\n");
    for (const auto& entry : fs::recursive_directory_iterator(dir + "/mail"))
      (void)chown(entry.path().c_str(), user->pw_uid, user->pw_gid);
    (void)chown((dir + "/mail").c_str(), user->pw_uid, user->pw_gid);
    WriteFile(dir + "/passwd", "anna:{PLAIN}secret:" + std::to_string(user->pw_uid) + ":" +
                                   std::to_string(user->pw_gid) + "::" + mail + "\n");
    close(testing::BindLoopback(port_, SOCK_STREAM, 0, "127.0.0.3"));
    WriteFile(dir + "/dovecot.conf",
              "base_dir = " + dir + "/run\nstate_dir = " + dir + "/run\nlog_path = " + dir +
                  "/dovecot.log\nprotocols = pop3\nlisten = 127.0.0.3\nssl = no\n"
                  "disable_plaintext_auth = no\ndefault_internal_user = dovecot\n"
                  "default_login_user = dovenull\nfirst_valid_uid = 1\n"
                  "passdb {\n driver = passwd-file\n args = " +
                  dir + "/passwd\n}\nuserdb {\n driver = passwd-file\n args = " + dir +
                  "/passwd\n}\nmail_location = maildir:" + dir +
                  "/mail/%u\nservice pop3-login {\n inet_listener pop3 {\n  port = " +
                  std::to_string(port_) + "\n }\n}\n");
    const std::string conf = dir + "/dovecot.conf";
    const char* argv[] = {"dovecot", "-F", "-c", conf.c_str(), nullptr};
    if (posix_spawn(&pid_, "/usr/sbin/dovecot", nullptr, nullptr, const_cast<char**>(argv),
                    environ) != 0)
      pid_ = 0;
    running_ = pid_ > 0 && WaitUntil(
                               [&] {
                                 int fd = testing::ConnectLoopback(port_, "127.0.0.3");
                                 if (fd >= 0) close(fd);
                                 return fd >= 0;
                               },
                               10000);
  }
  ~Dovecot() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    if (!WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 5000)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
  bool running() const { return running_; }
  std::string host() const { return "127.0.0.3:" + std::to_string(port_); }

 private:
  uint16_t port_ = 0;
  pid_t pid_ = 0;
  bool running_ = false;
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
  // poplib through the gate: the greeting, the message count and the first
  // message, or the error.
  std::string ReadMail(const std::string& user, const std::string& password) {
    std::string command =
        "timeout 30 /usr/bin/python3 -c \"import poplib\n"
        "p = poplib.POP3('127.0.0.1', " +
        std::to_string(port_) +
        ", timeout=10)\nprint(p.getwelcome())\n"
        "p.user('" +
        user + "')\np.pass_('" + password + "')\nprint(p.stat()[0], p.retr(1)[1])\np.quit()\" 2>&1";
    std::string out;
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

TEST_F(Pop3GateTest, MailIsReadFromARemoteDovecotThroughTheGate) {
  Dovecot dovecot(ctx_.scratch.path());
  if (!dovecot.running())
    GTEST_SKIP() << "Dovecot (dovecot-pop3d) is not installed or did not start";
  Start(dovecot.host());
  const std::string mail = "1 [b'From: a@b', b'Subject: hi', b'', b'hello through the gate']";
  // The host named in the login, and the provider's for a plain login.
  std::string out = ReadMail("anna@" + dovecot.host(), "secret");
  EXPECT_NE(out.find("b'+OK POP3-GATE started.'\n" + mail), std::string::npos) << out;
  out = ReadMail("anna", "secret");
  EXPECT_NE(out.find(mail), std::string::npos) << out;
  // The server's refusal of the password reaches the client unchanged.
  out = ReadMail("anna", "wrong");
  EXPECT_NE(out.find("error_proto: b'-ERR [AUTH] Authentication failed.'"), std::string::npos)
      << out;
  // Each session held the link once and gave it back.
  EXPECT_TRUE(WaitUntil([&] { return ctx_.net.link_users().Users() == 0; }));
  EXPECT_NE(ctx_.net.link_users().LastUse(), 0u);
}

TEST_F(Pop3GateTest, LoginsForThisComputerGoToTheLocalServerWithoutTheLink) {
  LocalStandIn local;
  local_port_ = local.port();
  Start("pop.example.invalid");
  ctx_.shared.link_mode = kLinkIdle;
  // The computer's name in any case; the plain name goes on; replies relayed.
  EXPECT_EQ(Talk("USER bob@" + UpperAscii(HostName()) + "\r\nPASS pw\r\nQUIT\r\n"),
            kGreeting + "+OK Send password\r\n+OK PASS pw\r\n+OK QUIT\r\n");
  EXPECT_EQ(local.first_line(), "USER bob");
  // The last "@" splits the host from the login.
  EXPECT_EQ(Talk("user a@b@localhost\r\nQUIT\r\n"),
            kGreeting + "+OK Send password\r\n+OK QUIT\r\n");
  EXPECT_EQ(local.first_line(), "user a@b");
  EXPECT_EQ(ctx_.net.link_users().LastUse(), 0u);  // no link was asked for
  // The gate's own port, named as a remote host, is refused and reported.
  EXPECT_EQ(Talk("USER x@127.0.0.1:" + std::to_string(port_) + "\r\n"), kGreeting);
  EXPECT_TRUE(
      ctx_.WaitForLine("WARNING! 127.0.0.1 Access denied to port " + std::to_string(port_)));
}

TEST_F(Pop3GateTest, UnlistedClientsAndALocalProviderGetTheLocalSession) {
  Start("pop.example.invalid");
  EXPECT_EQ(Talk("", "127.0.0.2"), kLocalGreeting);
  ctx_.config.Update([](ConfigRecord& r) { r.pop3 = "LocalHost"; });
  EXPECT_EQ(Talk(""), kLocalGreeting);
  ctx_.config.Update([](ConfigRecord& r) { r.pop3 = ""; });
  EXPECT_EQ(Talk(""), kLocalGreeting);
}

TEST_F(Pop3GateTest, TheServerMayRefuseUserBeforeAcceptingIt) {
  // What follows the accepting line is relayed.
  testing::TcpOrigin accepts("+OK hello\r\n-ERR not yet\r\n+OK now\r\n+OK relayed\r\n");
  Start(accepts.host());
  EXPECT_EQ(Talk("USER anna\r\n"), kGreeting + "+OK Send password\r\n+OK relayed\r\n");
  // A server that closes before accepting leaves the client without a reply.
  testing::TcpOrigin refuses("+OK hello\r\n-ERR no such user\r\n");
  EXPECT_EQ(Talk("USER anna@" + refuses.host() + "\r\n"), kGreeting);
  EXPECT_TRUE(WaitUntil([&] { return ctx_.net.link_users().Users() == 0; }));
}

TEST_F(Pop3GateTest, ClientsThatDoNotSendUserAreClosedWithinTheWait) {
  testing::TcpOrigin server("+OK hello\r\n+OK\r\n");
  Start(server.host());
  const auto start = testing::SteadyClock::now();
  for (const std::string& text :
       {std::string("CAPA\r\nUSER anna\r\n"), std::string("APOP anna 0123\r\n"),
        "USER " + std::string(10000, 'a') + "\r\n", std::string("\x00\xff\xfe\x80USER\r\n", 11),
        std::string("USER anna"), std::string()}) {
    EXPECT_EQ(Talk(text), kGreeting) << text.substr(0, 20);
  }
  EXPECT_LT(testing::MsSince(start), 3000);
  EXPECT_EQ(server.served(), 0);
}

}  // namespace
}  // namespace netrove
