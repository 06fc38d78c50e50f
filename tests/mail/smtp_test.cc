// The SMTP server: its pure helpers, pipelined sessions on loopback (the
// replies, relay permission, local copies and the queue, a failing disk,
// hostile input), Python's smtplib and swaks.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "lib/net_context.h"
#include "mail/smtp_command.h"
#include "mail/smtp_server.h"
#include "net/address_match.h"
#include "net/resolver.h"

namespace netrove {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using testing::ReadText;
using testing::WriteFile;
const std::string kOk = "250 Ok",
                  kBye = "221 mailgate.netrove.invalid Service closing transmission channel";
const std::string kGo = "354 Start mail input; end with <CRLF>.<CRLF>";
const std::string kAborted = "451 Requested action aborted: local error in processing";

TEST(SmtpCommand, ExtractsAddressesAndDatesTheReceivedHeader) {
  for (auto [in, want] : std::vector<std::pair<std::string, std::string>>{
           {"TO: a@b ", "TO: a@b "}, {"x>y<z>", "z"}, {"<>", ""}, {"a>b", "a"}})
    EXPECT_EQ(ExtractAddress(in), want) << in;
  const int64_t monday = 1796642452;  // Mon, 7 Dec 2026 11:20:52 (local)
  EXPECT_EQ(ReceivedHeader("pc.lan", "10.0.0.9", "gw", "joe@x", "ann@y", monday, 3600),
            "Received: from pc.lan [10.0.0.9] by gw with SMTP\r"
            "          for <joe@x>; Mon, 7 Dec 2026 11:20:52 +0100\r"
            "          (envelope-from <ann@y>)\r");
  EXPECT_EQ(ReceivedHeader("", "10.0.0.9", "gw", "", "ann@y", monday + 86400 * 26, 0),
            "Received: from [10.0.0.9] by gw with SMTP\r"
            "          Sat, 2 Jan 2027 11:20:52 -0000\r          (envelope-from <ann@y>)\r");
  EXPECT_TRUE(SmtpDateText(monday, -5 * 3600).ends_with(" -0500"));
  EXPECT_TRUE(SmtpDateText(monday, 19800).ends_with(" +0530"));
}

TEST(AddressEntry, AdmitsOutsideOnlyBeyondTheLocalNetworks) {
  for (const char* local : {"192.168.1.*", "10.*", "172.16.*", "172.31.0.5", "127.0.0.1",
                            "169.254.*", "08:00-17:00,192.168.0.2:25", "1.2.3.4.5", "*.168"})
    EXPECT_FALSE(AddressEntryAdmitsOutside(local)) << local;
  for (const char* outside : {"*", "172.*", "192.*.1.1", "8.8.8.8:25", "0.1-6.08:00-18:00,*.5.*"})
    EXPECT_TRUE(AddressEntryAdmitsOutside(outside)) << outside;
}

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
  // The replies to the commands sent at once (then the sending side closed),
  // the greeting left out.
  Lines Session(const Lines& commands, const char* source = "127.0.0.1") {
    std::string text;
    for (const std::string& c : commands) text += c + "\r\n";
    std::istringstream in(testing::Ask(options_.port, text, source, true, 10000));
    Lines replies;
    for (std::string line; std::getline(in, line);)
      replies.push_back(line.substr(0, line.size() - 1));
    EXPECT_TRUE(!replies.empty() && replies[0] == kSmtpGreeting);
    return replies.empty() ? replies : Lines(replies.begin() + 1, replies.end());
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
  EXPECT_FALSE(off.Start() || off.Listening());
  WriteFile("smtp.ip", "192.168.0.*\n08:00-09:00,*.*.*.*:25\n");
  Start();
  EXPECT_TRUE(ctx_.Has(kSmtpOutsideWarning));
}

TEST_F(SmtpServerTest, AnswersTheCommandsRelaysForSmtpIpOnlyAndCapsRecipients) {
  Start();
  EXPECT_EQ(Session({"noop", "ehlo me", "frob\x01z", "MAIL FROM:<nobody>", "RCPT TO:<joe@home.lan>",
                     "DATA", "MAIL FROM:<a@b>", "RCPT TO:<joe>", "RCPT TO:<x\ry@home.lan>", "DATA",
                     "RCPT " + std::string(1001, 'x'), std::string(5000, 'x'),
                     std::string("NO\0OP", 5), "RSET", "QUIT", "NOOP"}),
            (Lines{kOk, "550 Unknown command \"EHLO\"", "550 Unknown command \"FROB?Z\"", kOk,
                   "503 Need MAIL command", "503 Need MAIL command", kOk, "551 User not local",
                   "553 Requested action not taken: mailbox name not allowed",
                   "503 Need RCPT (recipient)", "500 Line too long", "500 Line too long", kOk, kOk,
                   kBye}));
  EXPECT_EQ(Session({"MAIL FROM:<x@y>", "RCPT TO:<b@far.example>", "RCPT TO:<ann@home.lan>"},
                    "127.0.0.2"),  // not in smtp.ip: aliases only
            (Lines{kOk, "551 User not local", kOk}));
  Lines commands = {"MAIL FROM:<a@b>"};
  for (int i = 0; i < 2000; ++i)
    commands.push_back("RCPT TO:<r" + std::to_string(i) + "@x.example>");
  std::map<std::string, int> counts;
  for (const std::string& reply : Session(commands)) ++counts[reply];
  EXPECT_EQ(counts, (std::map<std::string, int>{{kOk, 1001}, {"552 Too many recipients", 1000}}));
}

TEST_F(SmtpServerTest, StoresLocalCopiesOnceAndQueuesTheRest) {
  Start();
  const std::string long_line(70000, 'z');
  EXPECT_EQ(Session({"HELO my host (pc)!", "MAIL FROM:<ann@lan>", "RCPT TO:<joe@home.lan>",
                     "RCPT TO:<JOE@Home.lan>", "RCPT TO:<b@far.example>", "RCPT TO:<a@far.example>",
                     "DATA", "Subject: hi", "..dot", long_line, ".", "MAIL FROM:<ann@lan>",
                     "RCPT TO:<c@far.example>", "DATA", "second", ".", "QUIT"}),
            (Lines{"250 mailgate.netrove.invalid", kOk, kOk, kOk, kOk, kOk, kGo, kOk, kOk, kOk, kGo,
                   kOk, kBye}));
  const std::string head =
      "Received: from myhostpc [127.0.0.1] by " + ComputerName() + " with SMTP\r          ";
  auto files = Stored();
  EXPECT_TRUE(files["JOE/1.msg"].starts_with(head + "for <joe@home.lan>; "));
  EXPECT_TRUE(files["JOE/1.msg"].ends_with(
      "\r          (envelope-from <ann@lan>)\rSubject: hi\r..dot\r" + long_line + "\r"));
  EXPECT_TRUE(files["1.smtp"].starts_with("ann@lan\ra@far.example\rb@far.example\r\r" + head));
  EXPECT_EQ(files["1.smtp"].find("for <"), std::string::npos);
  EXPECT_NE(files["2.smtp"].find("\r          for <c@far.example>; "), std::string::npos);
  EXPECT_EQ(files.size(), 3u);
  EXPECT_EQ(store_->ActiveSmtpDeliveries().load(), 0);
  EXPECT_FALSE(ctx_.Has(kSmtpOutsideWarning));  // smtp.ip: 127.0.0.1
}

TEST_F(SmtpServerTest, NeverAcknowledgesWhatWasNotStored) {
  Start(2000);
  auto send = [&](const std::string& to, const std::string& body) {
    return Session({"MAIL FROM:<a@b>", "RCPT TO:<" + to + ">", "DATA", body, ".", "NOOP"});
  };
  // Over the cap: read to its end, refused, and the session goes on.
  EXPECT_EQ(send("x@far.example", std::string(3000, 'y')),
            (Lines{kOk, kOk, kGo, "552 Message size exceeds fixed maximum message size", kOk}));
  ctx_.real_env.FailRenames(true);
  EXPECT_EQ(send("x@far.example", "hi"), (Lines{kOk, kOk, kGo, kAborted, kOk}));
  EXPECT_EQ(send("joe@home.lan", "hi"), (Lines{kOk, kOk, kGo, kAborted, kOk}));
  EXPECT_TRUE(Stored().empty());
  ctx_.real_env.FailRenames(false);
  // A message whose end never comes is not stored.
  EXPECT_EQ(Session({"MAIL FROM:<a@b>", "RCPT TO:<joe@home.lan>", "DATA", "half"}),
            (Lines{kOk, kOk, kGo}));
  EXPECT_TRUE(Stored().empty());
  EXPECT_EQ(send("x@far.example", "hi"), (Lines{kOk, kOk, kGo, kOk, kOk}));
  EXPECT_EQ(Stored().size(), 1u);
}

// Both send EHLO first and fall back to HELO on its "550" (the HELO name
// reaches the header).
TEST_F(SmtpServerTest, PythonSmtplibAndSwaksFallBackToHelo) {
  if (!fs::exists("/usr/bin/python3") || !fs::exists("/usr/bin/swaks")) GTEST_SKIP();
  Start();
  const std::string out = ctx_.scratch / "client.out", port = std::to_string(options_.port);
  const std::string python = "/usr/bin/python3 " MAIL_TEST_DIR "/smtplib_client.py ";
  EXPECT_EQ(RunCommandLine(ctx_.env, python + port, {}, out, 30000), 0) << ReadText(out);
  EXPECT_EQ(RunCommandLine(ctx_.env,
                           "/usr/bin/swaks -4 --server 127.0.0.1 --port " + port +
                               " --helo swaks.lan --from a@lan --to ann@home.lan --body hello",
                           {}, out, 30000),
            0);
  auto files = Stored();
  EXPECT_TRUE(files["JOE/1.msg"].starts_with("Received: from py.lan [127.0.0.1] "));
  EXPECT_TRUE(files["JOE/1.msg"].ends_with(")\rSubject: py\r\r..dot\rbody\r"));
  EXPECT_TRUE(files["ANN/1.msg"].starts_with("Received: from swaks.lan [127.0.0.1] "));
}

}  // namespace
}  // namespace netrove
