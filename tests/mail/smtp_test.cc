// The SMTP server: its pure helpers, sessions on loopback with a raw client
// (the replies, relay permission, local copies and the queue, a failing
// disk, hostile input), Python's smtplib and swaks.
#include <gtest/gtest.h>
#include <poll.h>

#include <filesystem>

#include "lib/net_context.h"
#include "mail/smtp_command.h"
#include "mail/smtp_server.h"
#include "net/address_match.h"
#include "net/resolver.h"

namespace netrove {
namespace {

namespace fs = std::filesystem;
using testing::ReadText;
using testing::WriteFile;

TEST(SmtpCommand, SplitsExtractsCleansAndDedups) {
  EXPECT_EQ(SplitSmtpCommand("mail FROM:<a@b> x").word, "MAIL");
  EXPECT_EQ(SplitSmtpCommand("mail FROM:<a@b> x").argument, "FROM:<a@b> x");
  EXPECT_EQ(SplitSmtpCommand("quit").argument, "");
  for (auto [in, want] : std::vector<std::pair<std::string, std::string>>{{"FROM:<a@b>", "a@b"},
                                                                          {"TO: a@b ", "TO: a@b "},
                                                                          {"<a@b", "a@b"},
                                                                          {"x>y<z>", "z"},
                                                                          {"<>", ""},
                                                                          {"a>b", "a"},
                                                                          {"", ""}})
    EXPECT_EQ(ExtractAddress(in), want) << in;
  EXPECT_EQ(CleanHeloName(" my host!(x).Example-1@y\t;"), "myhostx.Example-1@y");
  EXPECT_FALSE(IsPrintableAddress("a\rb@c"));
  std::vector<std::string> list = {"b@x", "A@x", "c@x", "a@X", "B@X"};
  DedupRecipients(list);
  EXPECT_EQ(list, (std::vector<std::string>{"A@x", "b@x", "c@x"}));
}

TEST(SmtpCommand, ReceivedHeaderNamesTheStandardZone) {
  const int64_t monday = 1796642452;  // Mon, 7 Dec 2026 11:20:52 (local)
  EXPECT_EQ(ReceivedHeader("pc.lan", "10.0.0.9", "gw", "joe@x", "ann@y", monday, 3600),
            "Received: from pc.lan [10.0.0.9] by gw with SMTP\r"
            "          for <joe@x>; Mon, 7 Dec 2026 11:20:52 +0100\r"
            "          (envelope-from <ann@y>)\r");
  EXPECT_EQ(ReceivedHeader("", "10.0.0.9", "gw", "", "ann@y", monday + 86400 * 26, 0),
            "Received: from [10.0.0.9] by gw with SMTP\r"
            "          Sat, 2 Jan 2027 11:20:52 -0000\r"
            "          (envelope-from <ann@y>)\r");
  EXPECT_TRUE(SmtpDateText(monday, -5 * 3600).ends_with(" -0500"));
  EXPECT_TRUE(SmtpDateText(monday, 19800).ends_with(" +0530"));
}

TEST(AddressEntry, AdmitsOutsideOnlyBeyondTheLocalNetworks) {
  for (const char* local : {"192.168.1.*", "10.*", "172.16.*", "172.31.0.5", "127.0.0.1",
                            "169.254.*", "08:00-17:00,192.168.0.2:25", "1.2.3.4.5", "*.168"})
    EXPECT_FALSE(AddressEntryAdmitsOutside(local)) << local;
  for (const char* outside :
       {"*", "*.*.*.*", "172.*", "192.*.1.1", "1.0.0.1", "8.8.8.8:25", "0.1-6.08:00-18:00,*.5.*"})
    EXPECT_TRUE(AddressEntryAdmitsOutside(outside)) << outside;
}

// A raw client: replies without their CR LF.
class Client {
 public:
  explicit Client(uint16_t port, const char* source = "127.0.0.1")
      : fd_(testing::ConnectLoopback(port, "127.0.0.1", source)) {}
  ~Client() { close(fd_); }
  std::string Line() {
    std::string line;
    for (char byte = 0; !line.ends_with("\r\n"); line += byte) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) return "<timeout>";
      if (recv(fd_, &byte, 1, 0) != 1) return "<closed>";
    }
    return line.substr(0, line.size() - 2);
  }
  bool Put(const std::string& text) { return testing::SendAll(fd_, text); }
  std::string Ask(const std::string& line) { return Put(line + "\r\n") ? Line() : "<closed>"; }
  // Each request in turn with the reply it must get.
  void Dialogue(const std::vector<std::pair<std::string, std::string>>& steps) {
    for (const auto& [request, reply] : steps) EXPECT_EQ(Ask(request), reply) << request;
  }
  // A whole transaction; the reply to the end of the data.
  std::string Send(const std::string& from, const std::vector<std::string>& to,
                   const std::string& body) {
    EXPECT_EQ(Ask("MAIL FROM:<" + from + ">"), "250 Ok");
    for (const std::string& r : to) EXPECT_EQ(Ask("RCPT TO:<" + r + ">"), "250 Ok") << r;
    EXPECT_TRUE(Ask("DATA").starts_with("354 "));
    return Ask(body + ".");
  }

 private:
  int fd_;
};

class SmtpServerTest : public ::testing::Test {
 protected:
  SmtpServerTest() {
    WriteFile("servpop3.dat", "ALIAS joe@home.lan joe\nALIAS ann@home.lan ann\n");
    WriteFile("smtp.ip", "127.0.0.1\n");
    ctx_.config.Update([](ConfigRecord& r) { r.smtp = "mail.example.com"; });
  }
  void Start(size_t max_bytes = 100000) {
    options_ = {.port = testing::FreePort(), .max_message_bytes = max_bytes, .data_ms = 1500};
    server_ = std::make_unique<SmtpServer>(ctx_.net, ctx_.log, ctx_.config, store_, options_);
    ASSERT_TRUE(server_->Start());
  }
  // The files of "MailBox" and its folders, with their contents.
  std::map<std::string, std::string> Stored() {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(ctx_.scratch / "MailBox"))
      if (e.is_regular_file())
        files[fs::relative(e.path(), ctx_.scratch / "MailBox")] = ReadText(e.path());
    return files;
  }

  testing::NetTestContext ctx_;
  std::shared_ptr<MailStore> store_ = std::make_shared<MailStore>(ctx_.env, ctx_.scratch.path());
  SmtpServerOptions options_;
  std::unique_ptr<SmtpServer> server_;
};

TEST_F(SmtpServerTest, StartsOnlyWithSmtpAndItsListAndWarnsOfOutsideEntries) {
  ctx_.config.Update([](ConfigRecord& r) { r.smtp = ""; });
  SmtpServer off(ctx_.net, ctx_.log, ctx_.config, store_, {.port = testing::FreePort()});
  EXPECT_FALSE(off.Start());
  ctx_.config.Update([](ConfigRecord& r) { r.smtp = "mail.example.com"; });
  fs::remove("smtp.ip");
  EXPECT_FALSE(off.Start());
  WriteFile("smtp.ip", "192.168.0.*\n10.*\n");
  EXPECT_TRUE(off.Start() && off.Listening());
  EXPECT_FALSE(ctx_.Has(kSmtpOutsideWarning));
  off.Stop();
  EXPECT_FALSE(off.Listening());
  WriteFile("smtp.ip", "192.168.0.*\n08:00-09:00,*.*.*.*:25\n");
  Start();
  EXPECT_TRUE(ctx_.Has(kSmtpOutsideWarning));
}

TEST_F(SmtpServerTest, AnswersTheCommandTableAndRefusesBadInput) {
  Start();
  Client c(options_.port);
  EXPECT_EQ(c.Line(), kSmtpGreeting);
  c.Dialogue({{"noop", "250 Ok"},
              {"ehlo me", "550 Unknown command \"EHLO\""},
              {"frob\x01z", "550 Unknown command \"FROB?Z\""},
              {"EXPN x", "550 Access Denied to You"},
              {"VRFY joe", "252 Cannot VRFY user; try RCPT to attempt delivery (or try finger)"},
              {"HELP", "214-This is Netrove version 4.x"}});
  for (int i = 0; i < 5; ++i) c.Line();
  c.Dialogue(
      {{"MAIL FROM:<nobody>", "250 Ok"},
       {"RCPT TO:<joe@home.lan>", "503 Need MAIL command"},
       {"DATA", "503 Need MAIL command"},
       {"MAIL FROM:<a@b>", "250 Ok"},
       {"RCPT TO:<joe>", "551 User not local"},
       {"RCPT TO:<x\ry@home.lan>", "553 Requested action not taken: mailbox name not allowed"},
       {"DATA", "503 Need RCPT (recipient)"},
       {"RCPT " + std::string(1001, 'x'), "500 Line too long"},
       {std::string(5000, 'x'), "500 Line too long"},
       {std::string("NO\0OP", 5), "250 Ok"},
       {"RSET", "250 Ok"},
       {"QUIT", "221 mailgate.netrove.invalid Service closing transmission channel"}});
  EXPECT_EQ(c.Line(), "<closed>");
}

TEST_F(SmtpServerTest, StoresLocalCopiesOnceAndQueuesTheRest) {
  Start();
  Client c(options_.port);
  c.Line();
  EXPECT_EQ(c.Ask("HELO my host (pc)!"), "250 mailgate.netrove.invalid");
  const std::string long_line(70000, 'z');
  EXPECT_EQ(c.Send("ann@lan", {"joe@home.lan", "JOE@Home.lan", "b@far.example", "a@far.example"},
                   "Subject: hi\r\n..dot\r\n" + long_line + "\r\n"),
            "250 Ok");
  EXPECT_EQ(c.Send("ann@lan", {"c@far.example"}, "second\r\n"), "250 Ok");
  const std::string head =
      "Received: from myhostpc [127.0.0.1] by " + ComputerName() + " with SMTP\r          ";
  auto files = Stored();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_TRUE(files["JOE/1.msg"].starts_with(head + "for <joe@home.lan>; "));
  EXPECT_TRUE(files["JOE/1.msg"].ends_with(
      "\r          (envelope-from <ann@lan>)\rSubject: hi\r..dot\r" + long_line + "\r"));
  EXPECT_TRUE(files["1.smtp"].starts_with("ann@lan\ra@far.example\rb@far.example\r\r" + head));
  EXPECT_EQ(files["1.smtp"].find("for <"), std::string::npos);
  EXPECT_NE(files["2.smtp"].find("\r          for <c@far.example>; "), std::string::npos);
  EXPECT_EQ(store_->ActiveSmtpDeliveries().load(), 0);
}

TEST_F(SmtpServerTest, OutsidersReachOnlyAliasesAndRecipientsAreCapped) {
  Start();
  Client outsider(options_.port, "127.0.0.2");
  outsider.Line();
  outsider.Dialogue({{"MAIL FROM:<x@y>", "250 Ok"},
                     {"RCPT TO:<b@far.example>", "551 User not local"},
                     {"RCPT TO:<ann@home.lan>", "250 Ok"}});
  Client c(options_.port);
  c.Line();
  c.Ask("MAIL FROM:<a@b>");
  std::string rcpts;
  for (int i = 0; i < 2000; ++i) rcpts += "RCPT TO:<r" + std::to_string(i) + "@far.example>\r\n";
  ASSERT_TRUE(c.Put(rcpts));
  std::map<std::string, int> replies;
  for (int i = 0; i < 2000; ++i) ++replies[c.Line()];
  EXPECT_EQ(replies,
            (std::map<std::string, int>{{"250 Ok", 1000}, {"552 Too many recipients", 1000}}));
}

TEST_F(SmtpServerTest, NeverAcknowledgesWhatWasNotStored) {
  Start(2000);
  Client c(options_.port);
  c.Line();
  // Over the cap: read to its end, refused, and the session goes on.
  EXPECT_EQ(c.Send("a@b", {"x@far.example"}, std::string(3000, 'y') + "\r\n"),
            "552 Message size exceeds fixed maximum message size");
  ctx_.real_env.FailRenames(true);
  EXPECT_EQ(c.Send("a@b", {"x@far.example"}, "hi\r\n"),
            "451 Requested action aborted: local error in processing");
  EXPECT_EQ(c.Send("a@b", {"joe@home.lan"}, "hi\r\n"),
            "451 Requested action aborted: local error in processing");
  EXPECT_TRUE(Stored().empty());
  ctx_.real_env.FailRenames(false);
  EXPECT_EQ(c.Send("a@b", {"x@far.example"}, "hi\r\n"), "250 Ok");
  EXPECT_EQ(Stored().size(), 1u);
  // A message whose end never comes: nothing stored, the connection closed.
  Client cut(options_.port);
  cut.Line();
  cut.Ask("MAIL FROM:<a@b>");
  cut.Ask("RCPT TO:<joe@home.lan>");
  cut.Ask("DATA");
  cut.Put("half a message\r\n");
  EXPECT_EQ(cut.Line(), "<closed>");
  EXPECT_EQ(Stored().size(), 1u);
}

// Both send EHLO first and fall back to HELO on its "550".
TEST_F(SmtpServerTest, PythonSmtplibAndSwaksFallBackToHelo) {
  if (!fs::exists("/usr/bin/python3") || !fs::exists("/usr/bin/swaks")) GTEST_SKIP();
  Start();
  const std::string out = ctx_.scratch / "client.out", port = std::to_string(options_.port);
  EXPECT_EQ(RunCommandLine(ctx_.env, "/usr/bin/python3 " MAIL_TEST_DIR "/smtplib_client.py " + port,
                           {}, out, 30000),
            0)
      << ReadText(out);
  EXPECT_EQ(RunCommandLine(ctx_.env,
                           "/usr/bin/swaks -4 --server 127.0.0.1 --port " + port +
                               " --helo swaks.lan --from a@lan --to ann@home.lan --body hello",
                           {}, out, 30000),
            0);
  EXPECT_NE(ReadText(out).find(" -> EHLO swaks.lan\n<** 550 Unknown command \"EHLO\"\n -> HELO"),
            std::string::npos)
      << ReadText(out);
  auto files = Stored();
  EXPECT_TRUE(files["JOE/1.msg"].starts_with("Received: from py.lan [127.0.0.1] "));
  EXPECT_TRUE(files["JOE/1.msg"].ends_with(")\rSubject: py\r\r..dot\rbody\r"));
  EXPECT_TRUE(files["ANN/1.msg"].starts_with("Received: from swaks.lan [127.0.0.1] "));
  EXPECT_NE(files["ANN/1.msg"].find("\rhello\r"), std::string::npos);
}

}  // namespace
}  // namespace netrove
