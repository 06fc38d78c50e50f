// The POP3 server on loopback: the dialogue of both states and the
// extensions, bad input, the per-address pause after a wrong password, a
// client deleting while mail arrives, and Python's poplib as the client.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

#include "lib/net_context.h"
#include "mail/pop3_server.h"

namespace netrove {
namespace {

namespace fs = std::filesystem;
using testing::Ms;
using testing::MsSince;
using testing::SteadyClock;

void Spit(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// A POP3 client on a raw socket: reply lines without CR LF.
class Client {
 public:
  explicit Client(uint16_t port, const char* source = "127.0.0.1")
      : fd_(testing::ConnectLoopback(port, "127.0.0.1", source)) {}
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  std::string Line(int ms = 10000) {
    for (auto deadline = SteadyClock::now() + Ms(ms);;) {
      if (size_t end = buf_.find("\r\n"); end != std::string::npos) {
        std::string line = buf_.substr(0, end);
        buf_.erase(0, end + 2);
        return line;
      }
      auto left = std::chrono::duration_cast<Ms>(deadline - SteadyClock::now()).count();
      struct pollfd p = {fd_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return "<timeout>";
      char b[65536];
      ssize_t n = recv(fd_, b, sizeof b, 0);
      if (n <= 0) return "<closed>";
      buf_.append(b, static_cast<size_t>(n));
    }
  }
  std::string Ask(const std::string& request) {
    if (!testing::SendAll(fd_, request + "\r\n")) return "<closed>";
    return Line();
  }
  // A reply and, when positive, its lines up to "." joined by "\n".
  std::string Multi(const std::string& request) {
    std::string all = Ask(request);
    if (!all.starts_with("+")) return all;
    for (std::string line; (line = Line()) != ".";) {
      all += "\n" + line;
      if (line.starts_with("<")) break;
    }
    return all;
  }
  bool LogIn(const std::string& user, const std::string& password) {
    return Line().starts_with("+OK NETROVE") && Ask("USER " + user).starts_with("+OK") &&
           Ask("PASS " + password).starts_with("+OK Mailbox open");
  }

 private:
  int fd_;
  std::string buf_;
};

class Pop3ServerTest : public ::testing::Test {
 protected:
  explicit Pop3ServerTest(Pop3ServerOptions options = Quick())
      : server_(ctx_.net, ctx_.log, ctx_.config, store_, options) {
    Spit(ctx_.scratch / "servpop3.dat",
         "USER ann secret\nUSER ann other annex\nUSER off -\nUSER ../../evil pw ../..\n");
    EXPECT_TRUE(server_.Start());
    port_ = server_.LocalPop3Port();
  }
  static Pop3ServerOptions Quick() { return {300, 3000}; }
  std::string Box(const std::string& rest) { return ctx_.scratch / ("MailBox/" + rest); }

  testing::NetTestContext ctx_;
  MailStore store_{ctx_.env, ctx_.scratch.path()};
  Pop3Server server_;
  uint16_t port_ = 0;
};

TEST_F(Pop3ServerTest, StartsOnceAndStops) {
  EXPECT_NE(port_, 0);
  EXPECT_TRUE(ctx_.Has("POP3-server started"));
  EXPECT_TRUE(server_.Start());
  EXPECT_EQ(server_.LocalPop3Port(), port_);
  EXPECT_TRUE(fs::is_directory(ctx_.scratch / "MailBox"));
  server_.Stop();
  EXPECT_EQ(server_.LocalPop3Port(), 0);
  EXPECT_TRUE(testing::WaitUntil([&] { return testing::ConnectLoopback(port_) < 0; }));
  ctx_.config.Update([](ConfigRecord& r) { r.pop3_server = false; });
  EXPECT_FALSE(server_.Start());
}

TEST_F(Pop3ServerTest, AuthorisationState) {
  Client c(port_);
  EXPECT_EQ(c.Line(), "+OK NETROVE POP3-server");
  EXPECT_EQ(c.Ask("NOOP"), "+OK Noop");
  EXPECT_EQ(c.Ask("FOO  \tbar baz"), "-ERR unknown command: bar baz");
  EXPECT_EQ(c.Ask("STAT"), "-ERR unknown command: STAT");
  EXPECT_EQ(c.Ask("\x01\x7f\xff"), "-ERR unknown command: ??\xff");
  EXPECT_TRUE(c.Ask(std::string(70000, 'X')).starts_with("-ERR unknown command: XXX"));
  EXPECT_EQ(c.Ask("USER " + std::string(10000, 'u')), "+OK Please, send password");
  EXPECT_EQ(c.Ask("PASS secret"), "-ERR wrong password");
  EXPECT_EQ(c.Ask("USER off"), "+OK Please, send password");
  EXPECT_EQ(c.Ask("PASS -"), "-ERR wrong password");
  EXPECT_EQ(c.Ask("USER Ann"), "+OK Please, send password");
  EXPECT_EQ(c.Ask("PASS SECRET"), "-ERR wrong password");
  EXPECT_EQ(c.Ask("quitting"), "+OK User disconnected");
  EXPECT_EQ(c.Line(), "<closed>");

  // A USER line's directory is one component below MailBox.
  Client evil(port_);
  ASSERT_TRUE(evil.LogIn("../../EVIL", "pw"));
  EXPECT_TRUE(fs::is_directory(Box("....EVIL")));
  // The second line of a login with another password names its own box.
  Client other(port_);
  ASSERT_TRUE(other.LogIn("ann", "other"));
  EXPECT_TRUE(fs::is_directory(Box("annex")));
}

TEST_F(Pop3ServerTest, TransactionStateAndExtensions) {
  Spit(Box("ANN/3.msg"), "A: 1\rB: 2\n\r\n.dot\r\nbody2\rlast");
  Spit(Box("ANN/7.msg"), "Subject: two\r\n\r\nx\r\n");
  Client c(port_);
  EXPECT_EQ(c.Line(), "+OK NETROVE POP3-server");
  EXPECT_EQ(c.Ask("USER ann"), "+OK Please, send password");
  EXPECT_EQ(c.Ask("PASS secret"), "+OK Mailbox open, 2 messages");
  EXPECT_EQ(c.Ask("STAT"), "+OK 2 47");
  EXPECT_EQ(c.Multi("LIST"), "+OK Mailbox scan listing follows\n1 28\n2 19");
  EXPECT_EQ(c.Ask("LIST 2"), "+OK 2 19");  // one line, as clients expect
  EXPECT_EQ(c.Ask("LIST 3"), "-ERR No such message");
  std::string mlist = c.Multi("MLIST 1");
  EXPECT_TRUE(mlist.starts_with("+OK 1 28") && mlist.size() == 16 &&
              mlist.find_first_not_of("0123456789ABCDEF", 8) == std::string::npos)
      << mlist;
  EXPECT_EQ(c.Multi("RETR 1"), "+OK Show\nA: 1\nB: 2\n\n.dot\nbody2\nlast");
  EXPECT_EQ(c.Multi("TOP 1 0"), "+OK Show\nA: 1\nB: 2\n");
  EXPECT_EQ(c.Multi("TOP 1 2"), "+OK Show\nA: 1\nB: 2\n\n.dot\nbody2");
  EXPECT_EQ(c.Multi("BODY 1"), "+OK Show\n.dot\nbody2\nlast");
  EXPECT_EQ(c.Ask("TOP 1"), "-ERR Bad line count argument");
  EXPECT_EQ(c.Ask("TOP 1 -5"), "-ERR Bad line count argument");
  EXPECT_EQ(c.Ask("TOP 9 1"), "-ERR No such message");
  for (const char* bad : {"RETR x", "RETR 99999999999", "RETR 0", "RETR 1 2", "DELE 65537"})
    EXPECT_EQ(c.Ask(bad), "-ERR No such message") << bad;
  EXPECT_EQ(c.Ask("USER ann"), "-ERR unknown command");
  EXPECT_EQ(c.Ask("MAILBOX ./ ."), "-ERR unknown command");

  EXPECT_EQ(c.Ask("DELE 1"), "+OK Deleted");
  EXPECT_EQ(c.Ask("DELE 1"), "-ERR No such message");
  EXPECT_EQ(c.Multi("LIST"), "+OK Mailbox scan listing follows\n2 19");
  Spit(Box("ANN/3.msg"), "new\n");  // arrives meanwhile: seen after STAT
  EXPECT_EQ(c.Ask("RETR 3"), "-ERR No such message");
  EXPECT_EQ(c.Ask("STAT"), "+OK 2 23");
  EXPECT_EQ(c.Multi("RETR 3"), "+OK Show\nnew");

  // A message changed since the listing is no longer served nor removed.
  Spit(Box("ANN/3.msg"), "changed\n");
  EXPECT_EQ(c.Ask("RETR 3"), "-ERR No such message");
  EXPECT_EQ(c.Ask("DELE 3"), "-ERR No such message");
  EXPECT_EQ(c.Ask("MDELE 3 old"), "-ERR No such message");

  EXPECT_EQ(c.Ask("MDELE 2"), "-ERR No such message");
  EXPECT_EQ(c.Ask("MDELE 2 ../../etc"), "+OK Moved");
  EXPECT_EQ(c.Ask("MAILBOX ../../etc"), "+OK Mailbox open, 1 messages");
  EXPECT_EQ(c.Multi("RETR 1"), "+OK Show\nSubject: two\n\nx");
  EXPECT_EQ(c.Ask("QUIT"), "+OK User disconnected");

  EXPECT_EQ(fs::read_symlink("/proc/self/cwd"), ctx_.scratch.path());
  std::set<std::string> top;
  for (const auto& e : fs::directory_iterator(ctx_.scratch.path()))
    top.insert(e.path().filename().string());
  EXPECT_EQ(top, (std::set<std::string>{"MailBox", "servpop3.dat"}));
  EXPECT_TRUE(fs::exists(Box("ANN/etc/1.msg")));
}

class Pop3PenaltyTest : public Pop3ServerTest {
 protected:
  Pop3PenaltyTest() : Pop3ServerTest({800, 1600}) {}
};

TEST_F(Pop3PenaltyTest, WrongPasswordsWaitPerAddress) {
  std::vector<std::string> replies(3);
  std::vector<int64_t> took(3);
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  SteadyClock::time_point release;
  std::vector<std::thread> guessers;
  for (int i = 0; i < 3; ++i)
    guessers.emplace_back([&, i] {
      Client c(port_, "127.0.0.2");
      c.Line();
      c.Ask("USER ann");
      ++ready;
      testing::WaitUntil([&] { return go.load(); }, 10000);
      replies[i] = c.Ask("PASS guess");
      took[i] = MsSince(release);  // the three answers timed from one moment
    });
  ASSERT_TRUE(testing::WaitUntil([&] { return ready == 3; }, 10000));
  release = SteadyClock::now();
  go = true;
  std::this_thread::sleep_for(Ms(100));
  auto start = SteadyClock::now();
  Client other(port_, "127.0.0.3");
  EXPECT_TRUE(other.LogIn("ann", "secret"));
  EXPECT_LT(MsSince(start), 700);  // not behind the other address's pauses
  for (std::thread& t : guessers) t.join();

  std::multiset<std::string> got(replies.begin(), replies.end());
  EXPECT_EQ(got,
            (std::multiset<std::string>{"-ERR wrong password", "-ERR wrong password", "<closed>"}));
  std::vector<int64_t> answered;
  for (int i = 0; i < 3; ++i)
    if (replies[i] != "<closed>") answered.push_back(took[i]);
  std::sort(answered.begin(), answered.end());
  ASSERT_EQ(answered.size(), 2u);
  EXPECT_GE(answered[0], 790);
  EXPECT_GE(answered[1], 1590);  // the second waits behind the first
}

TEST_F(Pop3ServerTest, DeletingWhileMailArrivesRemovesOnlyListedMessages) {
  constexpr int kMessages = 200;
  std::atomic<bool> delivered{false};
  std::thread deliverer([&] {
    for (int i = 0; i < kMessages; ++i)
      ASSERT_TRUE(store_.DeliverToUser("ann", "Subject: m" + std::to_string(i) + "\r\n\r\nx\r\n"));
    delivered = true;
  });
  std::mutex mu;
  std::multiset<std::string> removed;
  auto reader = [&] {
    auto start = SteadyClock::now();
    for (int round = 0; round < 20000 && MsSince(start) < 60000; ++round) {
      const bool last = delivered.load();
      Client c(port_);
      ASSERT_TRUE(c.LogIn("ann", "secret"));
      std::string list = c.Multi("LIST");
      std::vector<std::string> numbers;
      for (size_t at = list.find('\n'); at != std::string::npos; at = list.find('\n', at + 1))
        numbers.push_back(list.substr(at + 1, list.find(' ', at) - at - 1));
      // All retrieved first, then all deleted: the other reader's logins
      // renumber the folder in between.
      std::vector<std::string> ids;
      for (const std::string& n : numbers) {
        std::string text = c.Multi("RETR " + n);
        ids.push_back(text.starts_with("+OK Show\nSubject: m")
                          ? text.substr(18, text.find('\n', 18) - 18)
                          : "");
      }
      for (size_t i = 0; i < numbers.size(); ++i) {
        if (ids[i].empty() || c.Ask("DELE " + numbers[i]) != "+OK Deleted") continue;
        std::lock_guard<std::mutex> lock(mu);
        removed.insert(ids[i]);
      }
      c.Ask("QUIT");
      if (last && numbers.empty()) return;
    }
  };
  std::thread r1(reader), r2(reader);
  deliverer.join();
  r1.join();
  r2.join();
  EXPECT_EQ(removed.size(), size_t{kMessages});
  EXPECT_EQ(std::set<std::string>(removed.begin(), removed.end()).size(), size_t{kMessages});
  EXPECT_TRUE(fs::is_empty(Box("ANN")));
}

TEST_F(Pop3ServerTest, PoplibTalksToTheServer) {
  if (!fs::exists("/usr/bin/python3")) GTEST_SKIP() << "no /usr/bin/python3";
  Spit(Box("ANN/1.msg"), "Subject: hello\r\n\r\n..leading dot\r\nline\r\n");
  Spit(Box("ANN/2.msg"), "Subject: second\r\r..\rend\r");
  const std::string out = ctx_.scratch / "poplib.out";
  std::optional<int> status = RunCommandLine(
      ctx_.env, "/usr/bin/python3 " MAIL_TEST_DIR "/poplib_client.py " + std::to_string(port_), {},
      out, 30000);
  std::ifstream in(out);
  std::string text(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(status, 0) << text;
  EXPECT_FALSE(fs::exists(Box("ANN/1.msg")));
}

}  // namespace
}  // namespace netrove
