// The POP3 server on loopback: both states and the extensions, bad input, the
// wrong-password pause, deleting while mail arrives (poplib: e2e_test.py).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>
#include <utility>

#include "lib/net_context.h"
#include "mail/pop3_server.h"

namespace netrove {
namespace {

namespace fs = std::filesystem;
using testing::Ms;
using testing::MsSince;
using testing::MsTaken;
using testing::SteadyClock;
using testing::WriteFile;
const std::string kNoSuch = "-ERR No such message";

// A POP3 client on a raw socket. Replies come without CR LF; a positive one to
// LIST, MLIST n, RETR, TOP or BODY with its lines up to ".", joined by "\n".
class Client {
 public:
  explicit Client(uint16_t port, const char* source = "127.0.0.1")
      : fd_(testing::ConnectLoopback(port, "127.0.0.1", source)) {}
  ~Client() { close(fd_); }
  std::string Line() {  // (a byte at a time: nothing is read beyond it; "<closed>" on silence)
    std::string line;
    for (std::string byte; !line.ends_with("\r\n"); line += byte)
      if ((byte = testing::ReadAll(fd_, 10000, 1)).empty()) return "<closed>";
    return line.substr(0, line.size() - 2);
  }
  std::string Ask(const std::string& request) {
    if (!testing::SendAll(fd_, request + "\r\n")) return "<closed>";
    std::string all = Line();
    static const std::set<std::string> kMulti = {"LIST", "MLIST", "RETR", "TOP", "BODY"};
    if (!all.starts_with("+") || !kMulti.count(request.substr(0, request.find(' '))) ||
        request.starts_with("LIST "))  // one line, as clients expect
      return all;
    for (std::string line; line != "<closed>" && (line = Line()) != ".";) all += "\n" + line;
    return all;
  }
  bool LogIn(const std::string& user, const std::string& password) {
    return Line().starts_with("+OK NETROVE") && Ask("USER " + user).starts_with("+OK") &&
           Ask("PASS " + password).starts_with("+OK Mailbox open");
  }

 private:
  int fd_;
};

class Pop3ServerTest : public ::testing::Test {
 protected:
  explicit Pop3ServerTest(Pop3ServerOptions options = {300, 3000})
      : server_(ctx_.net, ctx_.log, ctx_.config, store_, options) {
    WriteFile(ctx_.scratch / "servpop3.dat",
              "USER ann secret\nUSER ann other annex\nUSER off -\nUSER ../../evil pw ../..\n");
    EXPECT_TRUE(server_.Start());
    port_ = server_.LocalPop3Port();
  }
  std::string Box(const std::string& rest) { return ctx_.scratch / ("MailBox/" + rest); }
  // Each request in turn, with the reply it must get.
  void Dialogue(Client& c, const std::vector<std::pair<std::string, std::string>>& steps) {
    for (const auto& [request, reply] : steps)
      EXPECT_EQ(c.Ask(request), reply) << request.substr(0, 30);
  }

  testing::NetTestContext ctx_;
  std::shared_ptr<MailStore> store_ = std::make_shared<MailStore>(ctx_.env, ctx_.scratch.path());
  Pop3Server server_;
  uint16_t port_ = 0;
};

TEST_F(Pop3ServerTest, AuthorisationAndTransactionStatesExtensionsAndStop) {
  Client c(port_);
  EXPECT_EQ(c.Line(), "+OK NETROVE POP3-server");
  const std::string wrong = "-ERR wrong password", user = "+OK Please, send password";
  // clang-format off
  Dialogue(c, {{"NOOP", "+OK Noop"}, {"STAT", "-ERR unknown command: STAT"},
               {"FOO  \tbar baz", "-ERR unknown command: bar baz"},
               {"\x01\x7f\xff", "-ERR unknown command: ??\xff"},
               {std::string(70000, 'X'), "-ERR unknown command: " + std::string(65530, 'X')},
               {"USER " + std::string(10000, 'u'), user}, {"PASS secret", wrong},
               {"USER off", user}, {"PASS -", wrong}, {"USER Ann", user}, {"PASS SECRET", wrong},
               {"quitting", "+OK User disconnected"}});
  // clang-format on
  EXPECT_EQ(c.Line(), "<closed>");

  WriteFile(Box("ANN/3.msg"), "A: 1\rB: 2\n\r\n.dot\r\nbody2\rlast");
  WriteFile(Box("ANN/7.msg"), "Subject: two\r\n\r\nx\r\n");
  Client t(port_);
  EXPECT_EQ(t.Line(), "+OK NETROVE POP3-server");
  // clang-format off
  Dialogue(t, {{"USER ann", "+OK Please, send password"},
               {"PASS secret", "+OK Mailbox open, 2 messages"}, {"STAT", "+OK 2 47"},
               {"LIST", "+OK Mailbox scan listing follows\n1 28\n2 19"}, {"LIST 2", "+OK 2 19"},
               {"RETR 1", "+OK Show\nA: 1\nB: 2\n\n.dot\nbody2\nlast"},
               {"TOP 1 0", "+OK Show\nA: 1\nB: 2\n"},
               {"TOP 1 2", "+OK Show\nA: 1\nB: 2\n\n.dot\nbody2"},
               {"BODY 1", "+OK Show\n.dot\nbody2\nlast"},
               {"TOP 1", "-ERR Bad line count argument"},
               {"TOP 1 -5", "-ERR Bad line count argument"},
               {"USER ann", "-ERR unknown command"}, {"MAILBOX ./ .", "-ERR unknown command"},
               {"LIST 3", kNoSuch}, {"TOP 9 1", kNoSuch}, {"RETR x", kNoSuch}, {"RETR 0", kNoSuch},
               {"RETR 99999999999", kNoSuch}, {"RETR 1 2", kNoSuch}, {"DELE 65537", kNoSuch},
               {"MDELE 2", kNoSuch}, {"DELE 1", "+OK Deleted"}, {"DELE 1", kNoSuch},
               {"LIST", "+OK Mailbox scan listing follows\n2 19"}});
  // clang-format on
  const std::string mlist = t.Ask("MLIST 2");
  EXPECT_TRUE(std::regex_match(mlist, std::regex("\\+OK 2 19[0-9A-F]{8}"))) << mlist;

  WriteFile(Box("ANN/3.msg"), "new\n");  // arrives meanwhile: listed after STAT
  Dialogue(t, {{"RETR 3", kNoSuch}, {"STAT", "+OK 2 23"}, {"RETR 3", "+OK Show\nnew"}});
  WriteFile(Box("ANN/3.msg"), "changed\n");  // no longer the file listed
  Dialogue(t, {{"RETR 3", kNoSuch},
               {"DELE 3", kNoSuch},
               {"MDELE 3 old", kNoSuch},
               {"MDELE 2 ../../etc", "+OK Moved"},
               {"MAILBOX ../../etc", "+OK Mailbox open, 1 messages"},
               {"RETR 1", "+OK Show\nSubject: two\n\nx"},
               {"MDELE 1 INBOX", "+OK Moved"},  // back into the main folder
               {"MAILBOX inbox", "+OK Mailbox open, 2 messages"},
               {"MDELE 1 Inbox", kNoSuch},  // it is there already
               {"QUIT", "+OK User disconnected"}});
  EXPECT_EQ(testing::DirectoryNames(ctx_.scratch.path()),
            (std::set<std::string>{"MailBox", "servpop3.dat"}));
  EXPECT_TRUE(fs::exists(Box("ANN/2.msg")) && !fs::exists(Box("ANN/etc/1.msg")));

  Client evil(port_), other(port_);
  ASSERT_TRUE(evil.LogIn("../../EVIL", "pw"));
  EXPECT_TRUE(fs::is_directory(Box("....EVIL")));  // one component below MailBox
  ASSERT_TRUE(other.LogIn("ann", "other"));        // the second line of "ann" names its box
  EXPECT_TRUE(fs::is_directory(Box("annex")));

  EXPECT_TRUE(ctx_.Has("POP3-server started"));
  EXPECT_TRUE(server_.Start());
  EXPECT_EQ(server_.LocalPop3Port(), port_);
  server_.Stop();
  EXPECT_EQ(server_.LocalPop3Port(), 0);
  EXPECT_TRUE(testing::WaitUntil([&] { return testing::ConnectLoopback(port_) < 0; }));
  ctx_.config.Update([](ConfigRecord& r) { r.pop3_server = false; });
  EXPECT_FALSE(server_.Start());
}

class Pop3PenaltyTest : public Pop3ServerTest {
 protected:
  Pop3PenaltyTest() : Pop3ServerTest({800, 1600}) {}
};

// Three wrong guesses from one address at once: two are answered 800 ms apart, the
// third (beyond 1600 ms) is closed at once; another address's guess waits its own pause.
TEST_F(Pop3PenaltyTest, WrongPasswordsWaitPerAddress) {
  std::vector<std::pair<std::string, int64_t>> answers(3);  // reply, ms after the release
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  SteadyClock::time_point release;
  std::vector<std::thread> guessers;
  for (auto& answer : answers)
    guessers.emplace_back([&] {
      Client c(port_, "127.0.0.2");
      c.Line();
      c.Ask("USER ann");
      ++ready;
      testing::WaitUntil([&] { return go.load(); }, 10000);
      answer = {c.Ask("PASS guess"), MsSince(release)};
    });
  Client other(port_, "127.0.0.3");
  other.Line();
  other.Ask("USER ann");
  ASSERT_TRUE(testing::WaitUntil([&] { return ready == 3; }, 10000));
  release = SteadyClock::now();
  go = true;
  std::this_thread::sleep_for(Ms(100));
  EXPECT_LT(MsTaken([&] { EXPECT_EQ(other.Ask("PASS guess"), "-ERR wrong password"); }), 1500);
  for (std::thread& t : guessers) t.join();
  std::sort(answers.begin(), answers.end());
  EXPECT_EQ(answers[2].first, "<closed>");
  EXPECT_LT(answers[2].second, 700);
  for (int i : {0, 1}) {
    EXPECT_EQ(answers[i].first, "-ERR wrong password");
    EXPECT_GE(answers[i].second, 800 * (i + 1) - 10);
  }
}

TEST_F(Pop3ServerTest, DeletingWhileMailArrivesRemovesOnlyListedMessages) {
  constexpr int kMessages = 200;
  std::atomic<bool> delivered{false};
  std::thread deliverer([&] {
    for (int i = 0; i < kMessages; ++i)
      ASSERT_TRUE(store_->DeliverToUser("ann", "Subject: m" + std::to_string(i) + "\r\n\r\nx\r\n"));
    delivered = true;
  });
  std::mutex mu;
  std::multiset<std::string> removed;
  auto reader = [&] {
    const auto start = SteadyClock::now();
    for (int round = 0; round < 20000 && MsSince(start) < 60000; ++round) {
      const bool last = delivered.load();
      Client c(port_);
      ASSERT_TRUE(c.LogIn("ann", "secret"));
      std::string list = c.Ask("LIST");
      std::vector<std::string> numbers, texts;
      for (size_t at = list.find('\n'); at != std::string::npos; at = list.find('\n', at + 1))
        numbers.push_back(list.substr(at + 1, list.find(' ', at) - at - 1));
      // All retrieved, then all deleted: the other reader's logins renumber in between.
      for (const std::string& n : numbers) texts.push_back(c.Ask("RETR " + n));
      for (size_t i = 0; i < numbers.size(); ++i) {
        if (texts[i].starts_with("+OK Show") && c.Ask("DELE " + numbers[i]) == "+OK Deleted") {
          std::lock_guard<std::mutex> lock(mu);
          removed.insert(texts[i]);
        }
      }
      c.Ask("QUIT");
      if (last && numbers.empty()) return;
    }
  };
  std::thread r1(reader), r2(reader);
  for (std::thread* t : {&deliverer, &r1, &r2}) t->join();
  EXPECT_EQ(removed.size(), size_t{kMessages});
  EXPECT_EQ(std::set<std::string>(removed.begin(), removed.end()).size(), size_t{kMessages});
  EXPECT_TRUE(fs::is_empty(Box("ANN")));
}

}  // namespace
}  // namespace netrove
