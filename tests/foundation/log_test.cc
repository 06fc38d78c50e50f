// The log: time stamps, line cleaning and the log file.
#include "runtime/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "runtime/console.h"
#include "runtime/files.h"
#include "runtime/local_clock.h"

namespace netrove {
namespace {

constexpr int64_t k5March0907 = 1772701620;  // 2026-03-05 09:07:00

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetConsolePresentForTesting(false);
    SetLocalClockForTesting([] { return k5March0907; });
    file_ = std::filesystem::temp_directory_path() /
            ("netrove_log_" + std::to_string(getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log");
    std::filesystem::remove(file_);
    SetLogFileName(file_.string());
  }
  void TearDown() override {
    SetLogFileName("");
    SetLocalClockForTesting(nullptr);
    std::filesystem::remove(file_);
  }
  std::string FileText() { return ReadWholeFile(file_.string()).value_or("<missing>"); }
  std::filesystem::path file_;
};

TEST_F(LogTest, StampIsDayMonthHourMinuteAndSquare) {
  std::string line = LogMessage("Dialing...");
  EXPECT_EQ(line, "05/03 09:07 \xfe Dialing...");
}

TEST_F(LogTest, FirstMessageCreatesTheFileWithAHeaderLine) {
  Log("one");
  Log("two");
  EXPECT_EQ(FileText(),
            "05/03 09:07 \xfe Created log file\n"
            "05/03 09:07 \xfe one\n"
            "05/03 09:07 \xfe two\n");
}

TEST_F(LogTest, LineBreaksAreRemovedAndControlBytesEscaped) {
  EXPECT_EQ(LogMessage("a\r\nb"), "05/03 09:07 \xfe ab");
  EXPECT_EQ(LogMessage("user \x1b[31mred\x07\x7f"), "05/03 09:07 \xfe user \\x1b[31mred\\x07\\x7f");
  EXPECT_EQ(FileText().find('\x1b'), std::string::npos) << "no raw escape reaches the file";
}

TEST_F(LogTest, MarkerByteDropsTheStampAndEmptyMessageWritesEmptyLine) {
  EXPECT_EQ(LogMessage(std::string(1, kNoStampMarker) + "> modem line"), "> modem line");
  EXPECT_EQ(LogMessage(""), "");
  std::string text = FileText();
  EXPECT_NE(text.find("\n> modem line\n\n"), std::string::npos) << text;
}

TEST_F(LogTest, LinesAreCutAt255) {
  std::string line = LogMessage(std::string(400, 'x'));
  EXPECT_EQ(line.size(), 255u);
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveLines) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([t] {
      for (int i = 0; i < 200; ++i) Log(std::string(60, static_cast<char>('a' + t)));
    });
  for (auto& w : writers) w.join();
  std::string text = FileText();
  size_t lines = 0, pos = 0;
  while ((pos = text.find('\n', pos)) != std::string::npos) ++lines, ++pos;
  EXPECT_EQ(lines, 801u);
  for (size_t start = text.find('\n') + 1; start < text.size();) {
    size_t end = text.find('\n', start);
    std::string body = text.substr(start + 14, end - start - 14);  // after the 14-byte stamp
    ASSERT_EQ(body.size(), 60u);
    EXPECT_EQ(body.find_first_not_of(body[0]), std::string::npos) << body;
    start = end + 1;
  }
}

TEST_F(LogTest, UnwritableFileIsSkippedSilently) {
  SetLogFileName("/nonexistent-dir/x.log");
  EXPECT_EQ(LogMessage("still returned"), "05/03 09:07 \xfe still returned");
}

TEST_F(LogTest, InstalledRoutineReceivesEveryMessage) {
  std::vector<std::string> seen;
  SetLogProc([&seen](const std::string& m) {
    seen.push_back(m);
    return m;
  });
  Log("via front-end");
  SetLogProc(nullptr);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], "via front-end");
  EXPECT_EQ(FileText(), "<missing>") << "the replacement decides where lines go";
}

}  // namespace
}  // namespace netrove
