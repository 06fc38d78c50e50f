// The file helpers over an Env, on real files through the fault-injecting
// wrapper: a write that fails anywhere leaves the old file whole and no
// temporary file behind.
#include "runtime/env.h"

#include <gtest/gtest.h>

#include "lib/test_context.h"

namespace netrove {
namespace {

class EnvTest : public ::testing::Test {
 protected:
  std::vector<std::string> Files() {
    std::vector<std::string> names = env_.ListDirectory(".", 100);
    std::sort(names.begin(), names.end());
    return names;
  }
  testing::ScratchDir scratch_;
  testing::TestEnv env_;
};

TEST_F(EnvTest, AtomicWriteKeepsTheOldFileOnEveryFailure) {
  ASSERT_TRUE(WriteFileAtomically(env_, "a.lim", "old", 0640));
  EXPECT_EQ(env_.Stat("a.lim")->mode, 0640u);
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
  EXPECT_EQ(env_.ReadFile("a.lim", 100), "new");
  EXPECT_EQ(Files(), std::vector<std::string>{"a.lim"});
}

TEST_F(EnvTest, AppendCreatesWithAFirstLineAndTouchKeepsContents) {
  ASSERT_TRUE(AppendToFile(env_, "n.log", "one\n", 0644, "created\n"));
  ASSERT_TRUE(AppendToFile(env_, "n.log", "two\n", 0644, "created\n"));
  EXPECT_EQ(env_.ReadFile("n.log", 100), "created\none\ntwo\n");
  ASSERT_TRUE(TouchFile(env_, "n.log"));
  EXPECT_EQ(env_.ReadFile("n.log", 5), "creat");  // bounded read
  EXPECT_TRUE(env_.RemoveFile("n.log"));
  EXPECT_TRUE(env_.RemoveFile("n.log"));  // gone already: still true
  EXPECT_FALSE(FileExists(env_, "n.log"));
}

TEST(SplitCommandLine, WordsQuotesAndEscapesWithoutAShell) {
  using V = std::vector<std::string>;
  EXPECT_EQ(*SplitCommandLine("  pon  my\\ isp 'a b' \"c \\\"d\\\"\" e;rm "),
            (V{"pon", "my isp", "a b", "c \"d\"", "e;rm"}));
  EXPECT_EQ(*SplitCommandLine(""), V{});
  EXPECT_EQ(*SplitCommandLine("''"), V{""});
  EXPECT_FALSE(SplitCommandLine("'open"));
  EXPECT_FALSE(SplitCommandLine("\"open"));
  EXPECT_FALSE(SplitCommandLine(std::string(5000, 'a')));
}

// A command runs with its environment, to its end or its time-out.
TEST_F(EnvTest, CommandLinesRunBoundedWithTheirEnvironment) {
  std::optional<int> rc = RunCommandLine(env_, "/bin/sh -c 'echo $NETROVE_USER; exit 3'",
                                         {{"NETROVE_USER", "alice"}}, "out", 5000);
  ASSERT_TRUE(rc);
  EXPECT_EQ(*rc, 3);
  EXPECT_EQ(env_.ReadFile("out", 100), "alice\n");
  auto start = testing::SteadyClock::now();
  EXPECT_FALSE(RunCommandLine(env_, "/bin/sleep 30", {}, "", 300));
  EXPECT_LT(testing::MsSince(start), 10000);
  EXPECT_FALSE(RunCommandLine(env_, "/nonexistent/program", {}, "", 1000));
}

}  // namespace
}  // namespace netrove
