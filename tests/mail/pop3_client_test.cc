// The POP3 clients: the fetcher against scripted servers (hostile listings and bodies, a failing
// disk, old connections) and a real Dovecot killed mid-fetch; the POP3 gate with Dovecot as the
// provider's (127.0.0.3) and the local (127.0.0.1) server, scripted servers and hostile clients.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <set>

#include "lib/net_context.h"
#include "mail/pop3_fetcher.h"
#include "mail/pop3_gate.h"
#include "runtime/text.h"

namespace netrove {
namespace {

using testing::WaitUntil;
using testing::WriteFile;

constexpr char kDovecotConf[] = R"(base_dir = DIR/run
state_dir = DIR/run
log_path = DIR/dovecot.log
protocols = pop3
listen = 127.0.0.1, 127.0.0.3
ssl = no
disable_plaintext_auth = no
first_valid_uid = 1
passdb {
  driver = passwd-file
  args = DIR/passwd
}
userdb {
  driver = static
  args = uid=dovecot gid=dovecot home=DIR/mail
}
mail_location = maildir:~
service pop3-login {
  inet_listener pop3 {
    port = PORT
  }
}
)";

// A real Dovecot (root starts it) on 127.0.0.1 and 127.0.0.3:`port` (0: a free one) with the users
// of `passwd` ("name:{PLAIN}password" lines) on the messages already below "mail". Its port, 0
// when it is missing, not root, or it failed. The process group ends with `process`.
uint16_t StartDovecot(testing::TestContext& ctx, const std::string& passwd,
                      std::unique_ptr<Process>& process, uint16_t port = 0) {
  const std::string dir = ctx.scratch.path();
  if (!getpwnam("dovecot") || geteuid() != 0 || access("/usr/sbin/dovecot", X_OK) != 0) return 0;
  chmod(dir.c_str(), 0755);
  std::error_code ec;
  std::filesystem::create_directories(dir + "/mail/new", ec);
  if (std::system(("chown -R dovecot:dovecot " + dir + "/mail").c_str()) != 0) return 0;
  WriteFile(dir + "/passwd", passwd);
  if (port == 0) port = testing::FreePort();
  std::string conf = kDovecotConf;
  for (size_t at; (at = conf.find("DIR")) != std::string::npos;) conf.replace(at, 3, dir);
  WriteFile(dir + "/dovecot.conf", conf.replace(conf.find("PORT"), 4, std::to_string(port)));
  process = ctx.env.Spawn({"/usr/sbin/dovecot", "-F", "-c", dir + "/dovecot.conf"}, {},
                          dir + "/dovecot.out");
  auto listening = [port] {
    return testing::Ask(port, "", "127.0.0.1", true, 100, "127.0.0.3") != "<refused>";
  };
  return process && testing::WaitUntil(listening, 10000) ? port : 0;
}

TEST(FindRecipientTest, FirstReceivedForThenToLine) {
  const struct {
    std::string message, want;
  } cases[] = {
      {"Received: from a by b\r\n\tfor <Anna@Example.com>; Mon\r\nTo: x@y\r\n\r\nz",
       "ANNA@EXAMPLE.COM"},
      // Only the first Received header counts; then the To: address, whole.
      {"Received: from a\r\nReceived: by b for <no@x>\r\nTo: Bob Smith <bob@x.org>\r\n\r\n",
       "BOB@X.ORG"},
      {"To: carol@x, dan@y\r\nSubject: s\r\n\r\n", "CAROL@X, DAN@Y"},
      {"Subject: s\r\n\r\nTo: <in@body>\r\n", ""},
      {"To:", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FindRecipient(c.message), c.want) << c.message;
}

// A POP3 server on loopback serving `drop` (number → {listed size, text as
// sent}) after `pass_reply`, one connection at a time; it records the commands.
class ScriptedPop3 {
 public:
  using Drop = std::map<int, std::pair<int64_t, std::string>>;
  ScriptedPop3(std::string pass_reply, Drop drop)
      : pass_reply_(std::move(pass_reply)), drop_(std::move(drop)) {}
  std::string host() const { return server_.host(); }
  int Count(const std::string& command) {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(commands_.count(command));
  }

 private:
  std::string Answer(const std::string& command) {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.insert(command);
    const int n = atoi(command.c_str() + std::min<size_t>(command.size(), 5));
    const bool retr = command.starts_with("RETR"), dele = command.starts_with("DELE");
    if (command.starts_with("PASS")) return pass_reply_;
    if (command == "STAT") return "+OK " + std::to_string(drop_.size()) + " 0";
    if (command == "LIST") {
      std::string list = "+OK\r\n";
      for (const auto& [number, m] : drop_)
        list += std::to_string(number) + " " + std::to_string(m.first) + "\r\n";
      return list + "1x 1\r\n3 -5\r\n4 99999999999\r\n70000 1\r\n.";
    }
    if (retr && drop_.contains(n)) return "+OK\r\n" + drop_[n].second + ".";
    return (dele && drop_.erase(n)) || !(retr || dele) ? "+OK" : "-ERR";
  }

  std::string pass_reply_;
  std::mutex mu_;
  Drop drop_;                            // guarded by mu_
  std::multiset<std::string> commands_;  // guarded by mu_
  std::string received_;
  testing::LineServer server_{
      received_, [this](const std::string& line) {
        return line.empty() ? "+OK ready\r\n" : Answer(line.substr(0, line.size() - 2)) + "\r\n";
      }};
};

const std::string kGreeting = "+OK POP3-GATE started.\r\n";
const std::string kLocalGreeting = "+OK NETROVE POP3-server\r\n";
const std::string kMail =
    kGreeting + "+OK Send password\r\n+OK Logged in.\r\n+OK 1 25\r\n" +
    "+OK 25 octets\r\nSubject: hi\r\n\r\nhi there\r\n.\r\n+OK Logging out.\r\n";

// The fetcher and the gate on a scratch directory.
class Pop3ClientTest : public ::testing::Test {
 protected:
  Pop3ClientTest() {
    ctx_.config.Update([](ConfigRecord& r) { r.max_len_pop3_mail = 100000; });
    options_.online_poll_ms = options_.account_gap_ms = options_.pass_poll_ms = 10;
    options_.reconnect_pause_ms = options_.end_pause_ms = 0;
    options_.reply_ms = 20000;  // Dovecot may take seconds after a crash
  }
  // One pass over the SERVER lines of `accounts` (written as servpop3.dat unless empty).
  void Pass(const std::string& accounts) {
    if (!accounts.empty()) WriteFile("servpop3.dat", accounts);
    Pop3Fetcher(ctx_.net, ctx_.log, ctx_.config, store_, options_).RunPass();
    EXPECT_EQ(store_->ActiveMailFetches().load(), 0);
  }
  // The files of the directories (of the scratch directory) with `extension`.
  std::vector<std::string> Texts(std::initializer_list<std::string> dirs, const char* extension) {
    std::vector<std::string> texts;
    std::error_code ec;
    for (const std::string& dir : dirs)
      for (const auto& e : std::filesystem::directory_iterator(ctx_.scratch / dir, ec))
        if (e.path().extension() == extension) texts.push_back(testing::ReadText(e.path()));
    return texts;
  }
  auto Mailbox(const std::string& user) { return Texts({"MailBox/" + user}, ".msg"); }
  // The gate with `provider` as POP3, pop3.ip admitting 127.0.0.1, the link on-line.
  void StartGate(const std::string& provider) {
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
  std::string Talk(const std::string& text, const char* source = "127.0.0.1") {
    return testing::Ask(port_, text, source, false, 10000);
  }
  // USER, PASS, STAT, RETR 1 and QUIT pipelined through the gate: the replies.
  std::string ReadMail(const std::string& user, const std::string& password) {
    return Talk("USER " + user + "\r\nPASS " + password + "\r\nSTAT\r\nRETR 1\r\nQUIT\r\n");
  }

  testing::NetTestContext ctx_;
  std::shared_ptr<MailStore> store_ = std::make_shared<MailStore>(ctx_.env, "");
  Pop3FetcherOptions options_;
  uint16_t port_ = 0;  // the gate's
  std::atomic<uint16_t> local_port_{0};
  std::unique_ptr<Pop3Gate> gate_;
  std::unique_ptr<Process> dovecot_;  // its group is killed with it
};

TEST_F(Pop3ClientTest, FetcherSizesBodiesAndQuietServersInOnePass) {
  const std::string big(200000, 'x'), mail = "To: Anna <anna@ex.org>\r\n\r\n..dot\r\n";
  ScriptedPop3 sized("+OK 5 messages", {{1, {100000, "a\r\n"}},
                                        {2, {99999, mail}},
                                        {5, {10, "Hi!\r\n"}},
                                        {6, {10, big + "\r\n"}},
                                        {7, {10, "Subject: last\r\n\r\nbody\r\n"}}}),
      quiet("+OK Logged in.", {}), refused("-ERR [AUTH] Authentication failed.", {{1, {1, "a"}}});
  Pass("SERVER " + sized.host() + " anna pw\nSERVER " + quiet.host() + " bob pw\nSERVER " +
       refused.host() + " eve pw\nSERVER " + quiet.host() + " nopass\nALIAS anna@ex.org anna\n");
  // The size limit holds for the listing and for the body; the next message still comes.
  const std::string warning = "POP3 WARNING: (" + sized.host() + "/anna) Bad size mail: ";
  EXPECT_TRUE(ctx_.Has(warning + "1 (100,000 bytes)"));
  EXPECT_TRUE(ctx_.Has(warning + "6 (over 99,999 bytes)"));
  EXPECT_TRUE(ctx_.Has("Received mail for anna (3)"));
  EXPECT_EQ(sized.Count("RETR 1") + sized.Count("DELE 6") + sized.Count("STAT"), 0);
  // Stored as on the wire, by the alias; a text of 10 characters nowhere.
  EXPECT_EQ(Mailbox("ANNA"), std::vector<std::string>{mail});
  EXPECT_EQ(Mailbox("ADMIN").size(), 1u);
  // A login without a count: STAT says none, LIST is not asked.
  EXPECT_TRUE(ctx_.Has("Not found new mail for bob:" + quiet.host()));
  EXPECT_EQ(quiet.Count("STAT"), 1);
  EXPECT_EQ(quiet.Count("LIST"), 0);
  EXPECT_TRUE(ctx_.Has("POP3 ERROR: Can't login to " + refused.host() +
                       " (eve) (-ERR [AUTH] Authentication failed.)"));
  EXPECT_TRUE(ctx_.Has("Not found new mail for nopass:" + quiet.host()));
  EXPECT_EQ(quiet.Count("USER nopass"), 0);
}

TEST_F(Pop3ClientTest, FetcherAFailingDiskKeepsMailOnTheServerAndOldConnectionsAreRenewed) {
  ScriptedPop3 server("+OK 3", {{1, {20, "Subject: 1\r\n\r\nbody\r\n"}},
                                {2, {20, "Subject: 2\r\n\r\nbody\r\n"}},
                                {3, {20, "Subject: 3\r\n\r\nbody\r\n"}}});
  const std::string line = "SERVER " + server.host() + " anna pw\n";
  ctx_.real_env.SetDiskFull(true);
  Pass(line);
  EXPECT_TRUE(ctx_.Has("POP3 ERROR: Disk full! (disk place less 5 mb)"));
  EXPECT_EQ(server.Count("USER anna"), 0);
  ctx_.real_env.SetDiskFull(false);
  ctx_.real_env.FailRenames(true);  // the copy cannot be put in place
  Pass(line);
  EXPECT_TRUE(ctx_.Has("POP3 ERROR: Read error from " + server.host()));
  EXPECT_EQ(server.Count("RETR 1"), 1);
  EXPECT_EQ(server.Count("DELE 1"), 0);
  ctx_.real_env.FailRenames(false);
  // The scheduler waits for the link; every connection is old after one message.
  options_.reconnect_after_ms = -1;
  Pop3Fetcher fetcher(ctx_.net, ctx_.log, ctx_.config, store_, options_);
  fetcher.StartScheduler();
  std::this_thread::sleep_for(testing::Ms(100));
  EXPECT_EQ(server.Count("USER anna"), 1);
  ctx_.shared.link_mode = kLinkOnline;
  EXPECT_TRUE(ctx_.WaitForLine("Received mail for anna (3)"));
  EXPECT_TRUE(WaitUntil([&] { return server.Count("QUIT") == 4; }));
  EXPECT_EQ(server.Count("USER anna"), 4);
  EXPECT_EQ(Mailbox("ADMIN").size(), 3u);
}

// The distinct first lines of `texts`.
size_t Distinct(const std::vector<std::string>& texts) {
  std::set<std::string> firsts;
  for (const std::string& text : texts) firsts.insert(text.substr(0, text.find("\r\n")));
  return firsts.size();
}

// 200 messages, the first for an alias, a connection each; Dovecot is killed
// in the middle of the fetch, and started again for a second pass.
TEST_F(Pop3ClientTest, FetcherDovecotKilledMidFetchLosesNothing) {
  for (int i = 0; i < 200; ++i)
    WriteFile(ctx_.scratch / ("mail/new/" + std::to_string(i)),
              (i ? "Subject: " : "Received: by x for <Boss@Ex.org>\r\nSubject: ") +
                  std::to_string(i) + "\r\n\r\n.x\r\n");
  const uint16_t port = StartDovecot(ctx_, "anna:{PLAIN}secret\n", dovecot_);
  if (!port) GTEST_SKIP() << "Dovecot (dovecot-pop3d) is missing, failed or needs root";
  WriteFile("servpop3.dat", "SERVER 127.0.0.3:" + std::to_string(port) +
                                " anna secret carol\nALIAS boss@ex.org bob\n");
  options_.reconnect_after_ms = -1;
  {
    Pop3Fetcher fetcher(ctx_.net, ctx_.log, ctx_.config, store_, options_);
    fetcher.StartPass(kGetPop3MailTask);
    ASSERT_TRUE(WaitUntil([&] { return Mailbox("CAROL").size() >= 60; }, 15000));
    kill(-dovecot_->pid(), SIGKILL);
    ASSERT_TRUE(WaitUntil([&] { return store_->ActiveMailFetches() == 0; }, 5000));
    dovecot_->KillGroup(0);  // reaped: nothing moves in its maildir while it is read
  }
  // Every message is here or there; twice only the one of the connection in flight.
  auto on_server = [&] { return Texts({"mail/new", "mail/cur"}, ""); };
  std::vector<std::string> both = Mailbox("CAROL"), left = on_server();
  both.insert(both.end(), left.begin(), left.end());
  EXPECT_EQ(Distinct(both), 200u);
  EXPECT_LE(both.size(), 201u);
  // The killed server's lock on its listing would hold the new one's first login.
  (void)ctx_.env.RemoveFile(ctx_.scratch / "mail/dovecot-uidlist.lock");
  ASSERT_EQ(StartDovecot(ctx_, "anna:{PLAIN}secret\n", dovecot_, port), port);
  ctx_.net.connector().ClearFailed();  // the refusals of the killed one are remembered
  Pass("");
  EXPECT_TRUE(on_server().empty());
  const std::vector<std::string> carol = Mailbox("CAROL");
  EXPECT_EQ(Distinct(carol), 200u);
  // All that was left there, but for a copy the killed Dovecot had expunged
  // in its index and not yet unlinked: it ends that expunge on starting.
  EXPECT_LE(carol.size(), both.size());
  EXPECT_GE(carol.size() + 1, both.size());
  EXPECT_EQ(Mailbox("BOB").size(), 1u);
  EXPECT_TRUE(carol.front().ends_with("\r\n\r\n..x\r\n"));
}

TEST_F(Pop3ClientTest, GateMailIsReadFromTheLocalAndARemoteServer) {
  WriteFile(ctx_.scratch / "mail/new/1.eml", "Subject: hi\r\n\r\nhi there\r\n");
  const uint16_t dovecot =
      StartDovecot(ctx_, "anna:{PLAIN}secret\nanna@home:{PLAIN}home\n", dovecot_);
  if (!dovecot) GTEST_SKIP() << "Dovecot (dovecot-pop3d) is missing, failed or needs root";
  const std::string remote = "127.0.0.3:" + std::to_string(dovecot);
  StartGate(remote);
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
  EXPECT_TRUE(
      ReadMail("anna", "wrong")
          .starts_with(kGreeting + "+OK Send password\r\n-ERR [AUTH] Authentication failed.\r\n"));
}

TEST_F(Pop3ClientTest, GateScriptedServersHostileClientsAndTheLocalSession) {
  testing::TcpOrigin accepts("+OK hello\r\n-ERR not yet\r\n+OK now\r\n+OK relayed\r\n"),
      refuses("+OK hello\r\n-ERR no such user\r\n");
  StartGate(accepts.host());
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
