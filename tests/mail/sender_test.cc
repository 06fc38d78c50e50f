// The SMTP sender: the queue file reader, the back-off, and passes against
// aiosmtpd (tests/mail/smtp_sink.py) on loopback as the provider.
#include <gtest/gtest.h>

#include <memory>

#include "lib/net_context.h"
#include "mail/queue_file.h"
#include "mail/smtp_sender.h"

namespace netrove {
namespace {

using testing::DirectoryNames;
using testing::ReadText;
using testing::WaitUntil;
using Names = std::set<std::string>;

const std::string kReceived =
    "Received: from pc [192.168.1.5] by gw with SMTP\r"
    "          Mon, 1 Jul 2024 10:00:00 +0100\r"
    "          (envelope-from <anna@office.example>)\r";

TEST(QueueFileTest, EnvelopeAndMessageWithAnyLineEndAndRefusals) {
  std::string many = "s\r";
  for (size_t i = 0; i <= kMaxQueueRecipients; ++i) many += "r" + std::to_string(i) + "\r";
  const std::pair<std::string, std::optional<QueueFile>> cases[] = {
      {"a@x\rb@y\rc@z\r\rHi\r", QueueFile{"a@x", {"b@y", "c@z"}, 13}},
      {"a@x\r\nb@y\r\n\r\nHi\r\n", QueueFile{"a@x", {"b@y"}, 12}},
      {"a@x\nb@y\n\n", QueueFile{"a@x", {"b@y"}, 9}},  // an empty message
      {"a@x\rb@y\r", std::nullopt},                    // no empty line, no message
      {"\rb@y\r\rHi\r", std::nullopt},
      {"a@x\r\rHi\r", std::nullopt},
      {std::string("a@x\rb@y\r\rH\0i\r", 12), std::nullopt},
      {"a@x\rb\x01@y\r\rHi\r", std::nullopt},
      {"a@x\r" + std::string(kMaxQueueAddress + 1, 'a') + "\r\rHi\r", std::nullopt},
      {many + "\rHi\r", std::nullopt},
      {"a@x\rb@y\r\r" + std::string(kMaxQueueFileBytes, 'x'), std::nullopt},
  };
  for (const auto& [text, want] : cases)
    EXPECT_EQ(ParseQueueFile(text), want) << text.substr(0, 40);

  // The writer's text reads back the same, the message's lines whatever ends them.
  const std::string text = QueueFileText("a@x", {"b@y", "c@z"}, "\none\r\ntwo\rthree");
  auto file = ParseQueueFile(text);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->recipients, (std::vector<std::string>{"b@y", "c@z"}));
  std::string_view rest = std::string_view(text).substr(file->body_offset), line;
  std::vector<std::string> lines;
  while (TakeQueueLine(rest, line)) lines.emplace_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"", "one", "two", "three"}));
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

class SmtpSenderPassTest : public ::testing::Test {
 protected:
  SmtpSenderPassTest() : store_(std::make_shared<MailStore>(ctx_.env, ctx_.scratch.path())) {
    ctx_.config.Update([&](ConfigRecord& r) { r.smtp = Host(); });
  }
  // The provider on a fresh port (the last one may still be held), storing
  // into "out", made the SMTP host; false when aiosmtpd is missing.
  bool StartSink(std::vector<std::string> options = {}) {
    sink_.reset();
    port_ = testing::FreePort();
    ctx_.config.Update([&](ConfigRecord& r) { r.smtp = Host(); });
    std::vector<std::string> argv = {"/usr/bin/python3", MAIL_TEST_DIR "/smtp_sink.py",
                                     std::to_string(port_), ctx_.scratch / "out"};
    argv.insert(argv.end(), options.begin(), options.end());
    sink_ = ctx_.env.Spawn(argv, {}, ctx_.scratch / "sink.out");
    auto up = [&] {
      const int fd = testing::ConnectLoopback(port_);
      if (fd >= 0) close(fd);
      return fd >= 0 || sink_->Poll();
    };
    const bool started = sink_ && WaitUntil(up, 10000) && !sink_->Poll();
    ctx_.net.connector().ClearFailed();  // (refused connects are cached)
    return started;
  }
  std::string Queue(const std::string& sender, const std::vector<std::string>& recipients,
                    const std::string& lines) {
    return store_->WriteQueueFile(QueueFileText(sender, recipients, kReceived + lines)).value();
  }
  std::string Root() { return ctx_.scratch / "MailBox"; }
  std::string Host() { return "127.0.0.1:" + std::to_string(port_); }

  testing::NetTestContext ctx_;
  std::shared_ptr<MailStore> store_;
  uint16_t port_ = testing::FreePort();
  std::unique_ptr<Process> sink_;  // its group is killed with it
};

TEST_F(SmtpSenderPassTest, DeliversInOrderRemovesSentFilesAndMovesGarbageAside) {
  SmtpSender sender(ctx_.net, ctx_.log, ctx_.config, store_);
  // Nothing to send (a file being written, one moved aside): no connection, no line.
  testing::WriteFile(Root() + "/1.smtp", "");
  testing::WriteFile(Root() + "/1.smtp.bad", "junk");
  EXPECT_TRUE(sender.SendQueue());
  EXPECT_TRUE(ctx_.Lines().empty());
  Queue("anna@office.example", {"bob@far.example"}, "Subject: one\r\r..dot line\rend\r");
  EXPECT_FALSE(sender.SendQueue());
  EXPECT_EQ(ctx_.Lines(),
            std::vector<std::string>{"Can't connect to SMTP server (" + Host() + ")"});

  if (!StartSink()) GTEST_SKIP() << "python3-aiosmtpd is missing";
  testing::WriteFile(Root() + "/3.smtp", "no envelope here");
  Queue("carl@office.example", {"dora@far.example", "eve@far.example"}, "Subject: two\r");
  ctx_.ClearLines();
  EXPECT_TRUE(sender.SendQueue());
  EXPECT_EQ(DirectoryNames(Root()), (Names{"1.smtp", "1.smtp.bad", "3.smtp.bad"}));
  std::string received;  // as it arrives: CR LF ends each line
  for (char c : kReceived) received += c == '\r' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(ReadText(ctx_.scratch / "out/1.eml"),
            "MAIL FROM:<anna@office.example>\r\nRCPT TO:<bob@far.example>\r\n\r\n" + received +
                "Subject: one\r\n\r\n.dot line\r\nend\r\n");
  EXPECT_EQ(ReadText(ctx_.scratch / "out/2.eml"),
            "MAIL FROM:<carl@office.example>\r\nRCPT TO:<dora@far.example>\r\n"
            "RCPT TO:<eve@far.example>\r\n\r\n" +
                received + "Subject: two\r\n");
  EXPECT_EQ(ctx_.Lines(),
            (std::vector<std::string>{
                "Sending SMTP mail to " + Host(),
                "SMTP ERROR: queue file 3.smtp is no message; moved aside as 3.smtp.bad"}));
}

TEST_F(SmtpSenderPassTest, RefusedRecipientsAreLoggedAndTheOthersServed) {
  if (!StartSink({"--reject", "gone@far.example", "--defer", "busy@far.example"}))
    GTEST_SKIP() << "python3-aiosmtpd is missing";
  // 1: one good, one gone for good, one busy; 2: only gone; 3: gone and busy.
  Queue("a@office.example", {"gone@far.example", "ok@far.example", "busy@far.example"}, "one\r");
  Queue("a@office.example", {"gone@far.example"}, "two\r");
  Queue("a@office.example", {"gone@far.example", "busy@far.example"}, "three\r");
  SmtpSender sender(ctx_.net, ctx_.log, ctx_.config, store_);
  EXPECT_TRUE(sender.SendQueue());

  EXPECT_EQ(DirectoryNames(ctx_.scratch / "out"), Names{"1.eml"});
  EXPECT_TRUE(ReadText(ctx_.scratch / "out/1.eml")
                  .starts_with("MAIL FROM:<a@office.example>\r\nRCPT TO:<ok@far.example>\r\n\r\n"));
  // The busy recipient of 1 and of 3 waits in a file of its own; 2 is unsendable.
  EXPECT_EQ(DirectoryNames(Root()), (Names{"2.smtp.bad", "4.smtp", "5.smtp"}));
  EXPECT_EQ(ReadText(Root() + "/4.smtp"),
            QueueFileText("a@office.example", {"busy@far.example"}, kReceived + "one\r"));
  EXPECT_EQ(ReadText(Root() + "/5.smtp"),
            QueueFileText("a@office.example", {"busy@far.example"}, kReceived + "three\r"));
  const std::string refused = "SMTP WARNING: " + Host() + " refused recipient ";
  EXPECT_EQ(ctx_.Count(refused + "gone@far.example: 550 5.1.1 <gone@far.example>: no such user"),
            3);
  EXPECT_EQ(ctx_.Count(refused + "busy@far.example: 450 4.2.1 <busy@far.example>: mailbox busy"),
            2);
  EXPECT_TRUE(ctx_.Has(
      "SMTP ERROR: queue file 2.smtp was refused for every recipient; moved aside as 2.smtp.bad"));
}

// Off-line, then a provider that refuses the end of DATA (the file stays
// and is offered again), then mail being stored holds the passes back.
TEST_F(SmtpSenderPassTest, TheTaskSendsWhileOnlineAndNoMailIsBeingStored) {
  if (!StartSink({"--data-reply", "451 4.3.0 try again later"}))
    GTEST_SKIP() << "python3-aiosmtpd is missing";
  SmtpSender sender(ctx_.net, ctx_.log, ctx_.config, store_,
                    SmtpSenderOptions{.offline_poll_ms = 10,
                                      .pass_gap_ms = 10,
                                      .failure_wait_ms = 100,
                                      .extra_step_ms = 10,
                                      .reply_ms = 5000});
  const std::string path = Queue("a@office.example", {"b@far.example"}, "Hi\r");
  const std::string text = ReadText(path);
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
  EXPECT_TRUE(WaitUntil([&] { return !ctx_.env.Stat(path); }, 5000));
  EXPECT_EQ(DirectoryNames(ctx_.scratch / "out"), Names{"1.eml"});
  sender.Stop();
  EXPECT_FALSE(sender.Running());
}

}  // namespace
}  // namespace netrove
