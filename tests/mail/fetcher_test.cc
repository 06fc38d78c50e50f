// The POP3 fetcher against scripted servers on loopback (hostile listings and
// bodies, a failing disk, old connections) and a real Dovecot killed mid-fetch.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <memory>
#include <set>

#include "dovecot.h"
#include "mail/pop3_fetcher.h"

namespace netrove {
namespace {

using testing::WriteFile;

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
// sent}), one connection at a time; it records the commands.
class ScriptedPop3 {
 public:
  using Drop = std::map<int, std::pair<int64_t, std::string>>;
  ScriptedPop3(std::string pass_reply, Drop drop)
      : pass_reply_(std::move(pass_reply)), drop_(std::move(drop)) {}
  ~ScriptedPop3() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  int Count(const std::string& command) {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(std::count(commands_.begin(), commands_.end(), command));
  }

 private:
  std::string Answer(const std::string& command) {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.push_back(command);
    const int n = atoi(command.c_str() + std::min<size_t>(command.size(), 5));
    if (command.starts_with("PASS")) return pass_reply_;
    if (command == "STAT") return "+OK " + std::to_string(drop_.size()) + " 0";
    if (command == "LIST") {
      std::string list = "+OK\r\n";
      for (const auto& [number, m] : drop_)
        list += std::to_string(number) + " " + std::to_string(m.first) + "\r\n";
      return list + "1x 1\r\n3 -5\r\n4 99999999999\r\n70000 1\r\n.";
    }
    if (command.starts_with("RETR") && drop_.contains(n)) return "+OK\r\n" + drop_[n].second + ".";
    if (command.starts_with("DELE") && drop_.erase(n)) return "+OK";
    return command.starts_with("RETR") || command.starts_with("DELE") ? "-ERR" : "+OK";
  }
  void Serve() {
    for (int c; (c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; close(c)) {
      if (!testing::SendAll(c, "+OK ready\r\n")) continue;
      std::string line;
      for (std::string byte; !(byte = testing::ReadAll(c, 3000, 1)).empty();) {
        line += byte;
        if (!line.ends_with("\r\n")) continue;
        line.resize(line.size() - 2);
        if (!testing::SendAll(c, Answer(line) + "\r\n") || line == "QUIT") break;
        line.clear();
      }
    }
  }

  std::string pass_reply_;
  std::mutex mu_;
  Drop drop_;                          // guarded by mu_
  std::vector<std::string> commands_;  // guarded by mu_
  uint16_t port_ = 0;
  int fd_ = testing::BindLoopback(port_);
  std::thread thread_{[this] { Serve(); }};
};

class FetcherTest : public ::testing::Test {
 protected:
  FetcherTest() {
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

  testing::NetTestContext ctx_;
  std::shared_ptr<MailStore> store_ = std::make_shared<MailStore>(ctx_.env, "");
  Pop3FetcherOptions options_;
};

TEST_F(FetcherTest, SizesBodiesAndQuietServersInOnePass) {
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

TEST_F(FetcherTest, AFailingDiskKeepsMailOnTheServerAndOldConnectionsAreRenewed) {
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
  EXPECT_TRUE(testing::WaitUntil([&] { return server.Count("QUIT") == 4; }));
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
TEST_F(FetcherTest, DovecotKilledMidFetchLosesNothing) {
  for (int i = 0; i < 200; ++i)
    WriteFile(ctx_.scratch / ("mail/new/" + std::to_string(i)),
              (i ? "Subject: " : "Received: by x for <Boss@Ex.org>\r\nSubject: ") +
                  std::to_string(i) + "\r\n\r\n.x\r\n");
  std::unique_ptr<Process> dovecot;
  const uint16_t port = testing::StartDovecot(ctx_, "anna:{PLAIN}secret\n", dovecot);
  if (!port) GTEST_SKIP() << "Dovecot (dovecot-pop3d) is missing, failed or needs root";
  WriteFile("servpop3.dat", "SERVER 127.0.0.3:" + std::to_string(port) +
                                " anna secret carol\nALIAS boss@ex.org bob\n");
  options_.reconnect_after_ms = -1;
  {
    Pop3Fetcher fetcher(ctx_.net, ctx_.log, ctx_.config, store_, options_);
    fetcher.StartPass(kGetPop3MailTask);
    ASSERT_TRUE(testing::WaitUntil([&] { return Mailbox("CAROL").size() >= 60; }, 15000));
    kill(-dovecot->pid(), SIGKILL);
    ASSERT_TRUE(testing::WaitUntil([&] { return store_->ActiveMailFetches() == 0; }, 5000));
  }
  // Every message is here or there; twice only the one of the connection in flight.
  auto on_server = [&] { return Texts({"mail/new", "mail/cur"}, ""); };
  std::vector<std::string> both = Mailbox("CAROL"), left = on_server();
  both.insert(both.end(), left.begin(), left.end());
  EXPECT_EQ(Distinct(both), 200u);
  EXPECT_LE(both.size(), 201u);
  dovecot->KillGroup(0);
  ASSERT_EQ(testing::StartDovecot(ctx_, "anna:{PLAIN}secret\n", dovecot, port), port);
  ctx_.net.connector().ClearFailed();  // the refusals of the killed one are remembered
  Pass("");
  EXPECT_TRUE(on_server().empty());
  const std::vector<std::string> carol = Mailbox("CAROL");
  EXPECT_EQ(Distinct(carol), 200u);
  EXPECT_EQ(carol.size(), both.size());
  EXPECT_EQ(Mailbox("BOB").size(), 1u);
  EXPECT_TRUE(carol.front().ends_with("\r\n\r\n..x\r\n"));
}

}  // namespace
}  // namespace netrove
