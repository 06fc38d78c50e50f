// The SMTP side: the server's pure helpers and pipelined sessions on
// loopback (the replies, relay permission, local copies and the queue, a
// failing disk, hostile input); the queue file, the back-off and the
// sender's passes against aiosmtpd (smtp_sink.py) as the provider.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "lib/net_context.h"
#include "mail/queue_file.h"
#include "mail/smtp_command.h"
#include "mail/smtp_sender.h"
#include "mail/smtp_server.h"
#include "net/address_match.h"
#include "net/resolver.h"

namespace netrove {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Names = std::set<std::string>;
using testing::DirectoryNames;
using testing::ReadText;
using testing::WriteFile;
const std::string kOk = "250 Ok", kGo = "354 Start mail input; end with <CRLF>.<CRLF>",
                  kBye = "221 mailgate.netrove.invalid Service closing transmission channel",
                  kAborted = "451 Requested action aborted: local error in processing";

TEST(SmtpHelpers, AddressesTheReceivedHeaderAndOutsideEntries) {
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
  // smtp.ip entries that admit hosts beyond the local networks.
  for (const char* local : {"192.168.1.*", "10.*", "172.16.*", "172.31.0.5", "127.0.0.1",
                            "169.254.*", "08:00-17:00,192.168.0.2:25", "1.2.3.4.5", "*.168"})
    EXPECT_FALSE(AddressEntryAdmitsOutside(local)) << local;
  for (const char* outside : {"*", "172.*", "192.*.1.1", "8.8.8.8:25", "0.1-6.08:00-18:00,*.5.*"})
    EXPECT_TRUE(AddressEntryAdmitsOutside(outside)) << outside;
}

// The SMTP server, or the sender, on a scratch MailBox.
class SmtpTest : public ::testing::Test {
 protected:
  SmtpTest() {
    WriteFile("servpop3.dat", "ALIAS joe@home.lan joe\nALIAS ann@home.lan ann\n");
    WriteFile("smtp.ip", "127.0.0.1\n");
    ctx_.config.Update([&](ConfigRecord& r) { r.smtp = Host(); });
  }
  void Start(size_t max_bytes = 100000, size_t budget = size_t{1} << 30) {
    options_ = {.port = testing::FreePort(),
                .max_message_bytes = max_bytes,
                .data_ms = 1500,
                .max_buffered_bytes = budget};
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
    for (const auto& e : fs::recursive_directory_iterator(Root()))
      if (e.is_regular_file()) files[fs::relative(e.path(), Root())] = ReadText(e.path());
    return files;
  }
  // The provider on a fresh port (the last one may still be held), storing
  // into "out", made the SMTP host; false when aiosmtpd is missing.
  bool StartSink(std::vector<std::string> argv = {}) {
    sink_.reset();
    port_ = testing::FreePort();
    ctx_.config.Update([&](ConfigRecord& r) { r.smtp = Host(); });
    argv.insert(argv.begin(), {"/usr/bin/python3", MAIL_TEST_DIR "/smtp_sink.py",
                               std::to_string(port_), ctx_.scratch / "out"});
    sink_ = ctx_.env.Spawn(argv, {}, ctx_.scratch / "sink.out");
    auto up = [&] {
      return testing::Ask(port_, "", "127.0.0.1", true, 100) != "<refused>" || sink_->Poll();
    };
    const bool started = sink_ && testing::WaitUntil(up, 10000) && !sink_->Poll();
    ctx_.net.connector().ClearFailed();  // (refused connects are cached)
    return started;
  }
  std::string Queue(const std::vector<std::string>& recipients, const std::string& lines) {
    return store_->WriteQueueFile(QueueFileText("a@office.example", recipients, kReceived + lines))
        .value();
  }
  std::string Root() { return ctx_.scratch / "MailBox"; }
  std::string Host() { return "127.0.0.1:" + std::to_string(port_); }

  const std::string kReceived =
      "Received: from pc by gw with SMTP\r          (envelope-from <a>)\r";
  testing::NetTestContext ctx_;
  std::shared_ptr<MailStore> store_ = std::make_shared<MailStore>(ctx_.env, ctx_.scratch.path());
  SmtpServerOptions options_;
  std::unique_ptr<SmtpServer> server_;
  uint16_t port_ = testing::FreePort();  // the provider's
  std::unique_ptr<Process> sink_;        // its group is killed with it
};

TEST_F(SmtpTest, StartsOnlyWithSmtpAndItsListAndWarnsOfOutsideEntries) {
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

TEST_F(SmtpTest, AnswersTheCommandsRelaysForSmtpIpOnlyAndCapsRecipients) {
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

// Local copies once each, the rest queued; nothing acknowledged that was not stored.
TEST_F(SmtpTest, StoresLocalCopiesOnceQueuesTheRestAndAcknowledgesOnlyWhatIsStored) {
  Start(80000);
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

  auto send = [&](const std::string& to, const std::string& body) {
    return Session({"MAIL FROM:<a@b>", "RCPT TO:<" + to + ">", "DATA", body, ".", "NOOP"});
  };
  // Over the cap: read to its end, refused, and the session goes on.
  EXPECT_EQ(send("x@far.example", std::string(40000, 'y') + "\r\n" + std::string(41000, 'y')),
            (Lines{kOk, kOk, kGo, "552 Message size exceeds fixed maximum message size", kOk}));
  ctx_.real_env.FailRenames(true);
  EXPECT_EQ(send("x@far.example", "hi"), (Lines{kOk, kOk, kGo, kAborted, kOk}));
  EXPECT_EQ(send("joe@home.lan", "hi"), (Lines{kOk, kOk, kGo, kAborted, kOk}));
  ctx_.real_env.FailRenames(false);
  // A message whose end never comes is not stored.
  EXPECT_EQ(Session({"MAIL FROM:<a@b>", "RCPT TO:<joe@home.lan>", "DATA", "half"}),
            (Lines{kOk, kOk, kGo}));
  EXPECT_EQ(Stored().size(), 3u);
  // Beyond the memory all connections may hold: refused and closed; the budget comes back.
  server_.reset();
  Start(100000, 50000);
  EXPECT_EQ(send("joe@home.lan", std::string(60000, 'z')),
            (Lines{kOk, kOk, kGo, "452 Requested action not taken: insufficient system storage"}));
  EXPECT_EQ(send("joe@home.lan", std::string(40000, 'z')), (Lines{kOk, kOk, kGo, kOk, kOk}));
  EXPECT_EQ(Stored().size(), 4u);
}

TEST(QueueFileTest, EnvelopeAndMessageWithAnyLineEndAndRefusals) {
  std::string many = "s\r";
  for (size_t i = 0; i <= kMaxQueueRecipients; ++i) many += "r" + std::to_string(i) + "\r";
  const std::pair<std::string, QueueFile> cases[] = {
      {"a@x\rb@y\rc@z\r\rHi\r", QueueFile{"a@x", {"b@y", "c@z"}, 13}},
      {"a@x\r\nb@y\r\n\r\nHi\r\n", QueueFile{"a@x", {"b@y"}, 12}},
      {"a@x\nb@y\n\n", QueueFile{"a@x", {"b@y"}, 9}},  // an empty message
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(ParseQueueFile(text), want) << text;
  // No empty line (no message), no sender, no recipient, a NUL or a control, an address, the
  // recipients or the file too long.
  for (const std::string& text :
       {std::string("a@x\rb@y\r"), std::string("\rb@y\r\rHi\r"), std::string("a@x\r\rHi\r"),
        std::string("a@x\rb@y\r\rH\0i\r", 12), std::string("a@x\rb\x01@y\r\rHi\r"),
        "a@x\r" + std::string(kMaxQueueAddress + 1, 'a') + "\r\rHi\r", many + "\rHi\r",
        "a@x\rb@y\r\r" + std::string(kMaxQueueFileBytes, 'x')})
    EXPECT_EQ(ParseQueueFile(text), std::nullopt) << text.substr(0, 40);
  // The writer's text reads back the same, the message's lines whatever ends them.
  const std::string text = QueueFileText("a@x", {"b@y", "c@z"}, "\none\r\ntwo\rthree");
  auto file = ParseQueueFile(text);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->recipients, (Lines{"b@y", "c@z"}));
  std::string_view rest = std::string_view(text).substr(file->body_offset), line;
  Lines lines;
  while (TakeQueueLine(rest, line)) lines.emplace_back(line);
  EXPECT_EQ(lines, (Lines{"", "one", "two", "three"}));
}

TEST(SmtpSenderTest, BackOffGrowsPerFailedPassUpToTheCapAndResets) {
  SmtpSenderOptions o;
  int64_t extra = 0;
  for (int pass = 0; pass < 3; ++pass) extra = NextExtraWait(extra, false, o);
  EXPECT_EQ(o.failure_wait_ms + extra, 87000);  // the fourth failed pass waits 57 + 30 s
  EXPECT_EQ(NextExtraWait(extra, true, o), 0);
  for (int pass = 0; pass < 500; ++pass) extra = NextExtraWait(extra, false, o);
  EXPECT_EQ(extra, 30 * 60 * 1000);
}

// Files in order; a recipient refused for good is dropped, one refused for
// now waits in a file of its own; garbage and the wholly refused go aside.
TEST_F(SmtpTest, SenderDeliversRemovesSentFilesAndMovesGarbageAside) {
  SmtpSender sender(ctx_.net, ctx_.log, ctx_.config, store_);
  // Nothing to send (a file being written, one moved aside): no connection, no line.
  WriteFile(Root() + "/1.smtp", "");
  WriteFile(Root() + "/1.smtp.bad", "junk");
  EXPECT_TRUE(sender.SendQueue());
  EXPECT_TRUE(ctx_.Lines().empty());
  Queue({"bob@far.example"}, "Subject: one\r\r..dot line\rend\r");
  EXPECT_FALSE(sender.SendQueue());
  EXPECT_EQ(ctx_.Lines(), Lines{"Can't connect to SMTP server (" + Host() + ")"});

  const std::string gone = "550 5.1.1 no such user", busy = "450 4.2.1 mailbox busy";
  if (!StartSink({"--refuse", "gone@far.example", gone, "--refuse", "BUSY@far.example", busy}))
    GTEST_SKIP() << "python3-aiosmtpd is missing";
  WriteFile(Root() + "/3.smtp", "no envelope here");
  Queue({"gone@far.example", "ok@far.example", "busy@far.example", "eve@far.example"}, "4\r");
  Queue({"gone@far.example"}, "5\r");
  Queue({"gone@far.example", "busy@far.example"}, "6\r");
  EXPECT_TRUE(sender.SendQueue());
  std::string received;  // as it arrives: CR LF ends each line
  for (char c : kReceived) received += c == '\r' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(DirectoryNames(ctx_.scratch / "out"), (Names{"1.eml", "2.eml"}));
  EXPECT_EQ(ReadText(ctx_.scratch / "out/1.eml"),
            "MAIL FROM:<a@office.example>\r\nRCPT TO:<bob@far.example>\r\n\r\n" + received +
                "Subject: one\r\n\r\n.dot line\r\nend\r\n");
  EXPECT_EQ(ReadText(ctx_.scratch / "out/2.eml"),
            "MAIL FROM:<a@office.example>\r\nRCPT TO:<ok@far.example>\r\n"
            "RCPT TO:<eve@far.example>\r\n\r\n" +
                received + "4\r\n");
  EXPECT_EQ(DirectoryNames(Root()),
            (Names{"1.smtp", "1.smtp.bad", "3.smtp.bad", "5.smtp.bad", "7.smtp", "8.smtp"}));
  EXPECT_EQ(ReadText(Root() + "/7.smtp"),
            QueueFileText("a@office.example", {"busy@far.example"}, kReceived + "4\r"));
  EXPECT_EQ(ReadText(Root() + "/8.smtp"),
            QueueFileText("a@office.example", {"busy@far.example"}, kReceived + "6\r"));
  const std::string refused = "SMTP WARNING: " + Host() + " refused recipient ";
  EXPECT_EQ(ctx_.Count(refused + "gone@far.example: " + gone), 3);
  EXPECT_EQ(ctx_.Count(refused + "busy@far.example: " + busy), 2);
  for (const std::string& line :
       Lines{{"Sending SMTP mail to " + Host(),
              "SMTP ERROR: queue file 3.smtp is no message; moved aside as 3.smtp.bad",
              "SMTP ERROR: queue file 5.smtp was refused for every recipient; moved aside as "
              "5.smtp.bad"}})
    EXPECT_TRUE(ctx_.Has(line)) << line;
}

// Off-line, then a provider that refuses the end of DATA (the file stays
// and is offered again), then mail being stored holds the passes back.
TEST_F(SmtpTest, TheSenderTaskSendsWhileOnlineAndNoMailIsBeingStored) {
  if (!StartSink({"--data-reply", "451 4.3.0 try again later"}))
    GTEST_SKIP() << "python3-aiosmtpd is missing";
  SmtpSender sender(ctx_.net, ctx_.log, ctx_.config, store_,
                    SmtpSenderOptions{.offline_poll_ms = 10,
                                      .pass_gap_ms = 10,
                                      .failure_wait_ms = 100,
                                      .extra_step_ms = 10,
                                      .reply_ms = 5000});
  const std::string path = Queue({"b@far.example"}, "Hi\r"), text = ReadText(path);
  sender.Start();
  const int slots = ctx_.tasks.SlotsInUse();
  sender.Start();  // already running: no second task
  EXPECT_EQ(ctx_.tasks.SlotsInUse(), slots);
  std::this_thread::sleep_for(testing::Ms(200));
  EXPECT_TRUE(ctx_.Lines().empty());
  ctx_.shared.link_mode = kLinkOnline;
  EXPECT_TRUE(ctx_.WaitForLine("SMTP ERROR: Send error to " + Host(), 5000));
  EXPECT_EQ(ReadText(path), text);
  store_->ActiveSmtpDeliveries() = 1;
  ASSERT_TRUE(StartSink()) << ReadText(ctx_.scratch / "sink.out");
  std::this_thread::sleep_for(testing::Ms(300));
  EXPECT_TRUE(ctx_.env.Stat(path));
  store_->ActiveSmtpDeliveries() = 0;
  EXPECT_TRUE(testing::WaitUntil([&] { return !ctx_.env.Stat(path); }, 5000));
  EXPECT_EQ(DirectoryNames(ctx_.scratch / "out"), Names{"1.eml"});
  sender.Stop();
  EXPECT_FALSE(sender.Running());
}

}  // namespace
}  // namespace netrove
