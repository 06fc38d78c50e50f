// The file helpers over an Env and the log, on real files in a scratch
// directory through the fault-injecting wrapper: a write that fails
// anywhere leaves the old file whole and no temporary file behind; the log
// file is only appended to, one whole line at a time.
#include "runtime/env.h"

#include <gtest/gtest.h>

#include "lib/test_context.h"

namespace netrove {
namespace {

const std::string kStamp = "05/03 09:07 \xfe ";  // 2026-03-05 09:07
// The file has the stamp's mark as UTF-8 "■".
const std::string kFileStamp = "05/03 09:07 \xe2\x96\xa0 ";

// The context's log without its capture, writing "n.log"; the local time
// stands at 2026-03-05 09:07.
class EnvTest : public ::testing::Test {
 protected:
  EnvTest() {
    env_.SetLocalSeconds(1772701620);
    log_.SetRoutine(nullptr);
    log_.SetFileName("n.log");
  }
  std::string Read(const std::string& name) { return env_.ReadFile(name, 1 << 20).value_or("-"); }
  testing::TestContext ctx_;
  testing::TestEnv& env_ = ctx_.real_env;
  Log& log_ = ctx_.log;
};

TEST_F(EnvTest, AtomicWriteKeepsTheOldFileOnEveryFailure) {
  ASSERT_TRUE(WriteFileAtomically(env_, "a.lim", "old", 0640));
  ASSERT_TRUE(WriteFileAtomically(env_, "a.lim", "new", 0600));  // keeps the old mode
  EXPECT_EQ(env_.Stat("a.lim")->mode, 0640u);
  env_.FailWriteNumber(0);
  EXPECT_FALSE(WriteFileAtomically(env_, "a.lim", "lost"));
  env_.FailRenames(true);
  EXPECT_FALSE(WriteFileAtomically(env_, "a.lim", "lost"));
  env_.FailRenames(false);
  env_.SetDiskFull(true);
  EXPECT_FALSE(WriteFileAtomically(env_, "a.lim", "lost"));
  EXPECT_FALSE(AppendToFile(env_, "a.lim", "lost"));
  EXPECT_FALSE(TouchFile(env_, "flag"));
  env_.SetDiskFull(false);
  EXPECT_EQ(Read("a.lim"), "new");
  EXPECT_EQ(env_.ListDirectory(".", 100), std::vector<std::string>{"a.lim"});
  ASSERT_TRUE(TouchFile(env_, "a.lim"));
  EXPECT_EQ(env_.ReadFile("a.lim", 2), "ne");  // touched, not emptied; bounded read
  EXPECT_TRUE(env_.RemoveFile("a.lim") && env_.RemoveFile("a.lim"));  // gone already: true
  EXPECT_FALSE(FileExists(env_, "a.lim"));
}

TEST(SplitCommandLine, WordsQuotesAndEscapesWithoutAShell) {
  using V = std::vector<std::string>;
  EXPECT_EQ(*SplitCommandLine("  pon  my\\ isp 'a b' \"c \\\"d\\\"\" e;rm "),
            (V{"pon", "my isp", "a b", "c \"d\"", "e;rm"}));
  EXPECT_EQ(*SplitCommandLine(""), V{});
  EXPECT_EQ(*SplitCommandLine("''"), V{""});
  EXPECT_FALSE(SplitCommandLine("'open") || SplitCommandLine("\"open") ||
               SplitCommandLine(std::string(5000, 'a')));
}

// A command runs with its environment, to its end or its time-out.
TEST_F(EnvTest, CommandLinesRunBoundedWithTheirEnvironment) {
  EXPECT_EQ(RunCommandLine(env_, "/bin/sh -c 'echo $NETROVE_USER; exit 3'",
                           {{"NETROVE_USER", "alice"}}, "out", 5000),
            3);
  EXPECT_EQ(Read("out"), "alice\n");
  auto start = testing::SteadyClock::now();
  EXPECT_FALSE(RunCommandLine(env_, "/bin/sleep 30", {}, "", 300));
  EXPECT_LT(testing::MsSince(start), 10000);
  EXPECT_FALSE(RunCommandLine(env_, "/nonexistent/program", {}, "", 1000));
}

TEST_F(EnvTest, LogLinesAreStampedCleanedAndAppended) {
  const std::pair<std::string, std::string> cases[] = {
      {"Dialing...", kStamp + "Dialing..."},
      {"a\r\nb", kStamp + "ab"},
      {"user \x1b[31mred\x07\x7f", kStamp + "user \\x1b[31mred\\x07\\x7f"},
      {std::string(1, kNoStampMarker) + "> modem\x1b", "> modem\\x1b"},
      {"", ""},
      {std::string(400, 'x'), kStamp + std::string(255 - kStamp.size(), 'x')},
  };
  std::string want_file = kFileStamp + "Created log file\n";
  for (const auto& [message, want] : cases) {
    EXPECT_EQ(log_.Message(message), want) << message;
    want_file += (want.starts_with(kStamp) ? kFileStamp + want.substr(kStamp.size()) : want) + "\n";
  }
  EXPECT_EQ(Read("n.log"), want_file);
  // The file is only appended to: a moved-away log starts afresh; a full
  // disk costs the line in the file only.
  ASSERT_TRUE(env_.Rename("n.log", "n.old"));
  env_.SetDiskFull(true);
  EXPECT_EQ(log_.Message("still returned"), kStamp + "still returned");
  env_.SetDiskFull(false);
  log_.Write("next");
  EXPECT_EQ(Read("n.log"), kFileStamp + "Created log file\n" + kFileStamp + "next\n");
  // An installed routine decides where lines go.
  std::vector<std::string> seen;
  log_.SetRoutine([&seen](const std::string& m) { return seen.emplace_back(m); });
  log_.Write("via front-end");
  log_.SetRoutine(nullptr);
  EXPECT_EQ(seen, std::vector<std::string>{"via front-end"});
  log_.ToFileOnly("file only");
  EXPECT_TRUE(Read("n.log").ends_with("next\n" + kFileStamp + "file only\n")) << Read("n.log");
}

TEST_F(EnvTest, ConcurrentLogWritersNeverInterleaveLines) {
  std::vector<std::thread> writers;
  for (char c : {'a', 'b', 'c', 'd'})
    writers.emplace_back([this, c] {
      for (int i = 0; i < 200; ++i) log_.Write(std::string(60, c));
    });
  for (auto& w : writers) w.join();
  std::string text = Read("n.log");
  size_t lines = 0;
  for (size_t start = text.find('\n') + 1; start < text.size(); ++lines) {
    size_t end = text.find('\n', start);
    std::string body = text.substr(start + kFileStamp.size(), end - start - kFileStamp.size());
    ASSERT_EQ(body, std::string(60, body[0]));
    start = end + 1;
  }
  EXPECT_EQ(lines, 800u);
}

}  // namespace
}  // namespace netrove
