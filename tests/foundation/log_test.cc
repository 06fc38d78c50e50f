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

const std::string kStamp = "05/03 09:07 \xfe ";  // 2026-03-05 09:07
// The file has the stamp's mark as UTF-8 "■".
const std::string kFileStamp = "05/03 09:07 \xe2\x96\xa0 ";

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetConsolePresentForTesting(false);
    SetLocalClockForTesting([] { return int64_t{1772701620}; });
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

TEST_F(LogTest, LinesAreStampedCleanedAndAppended) {
  struct Case {
    std::string message, want;
  } cases[] = {
      {"Dialing...", kStamp + "Dialing..."},
      {"a\r\nb", kStamp + "ab"},
      {"user \x1b[31mred\x07\x7f", kStamp + "user \\x1b[31mred\\x07\\x7f"},
      {std::string(1, kNoStampMarker) + "> modem\x1b", "> modem\\x1b"},
      {"", ""},
      {std::string(400, 'x'), kStamp + std::string(255 - kStamp.size(), 'x')},
  };
  std::string want_file = kFileStamp + "Created log file\n";
  for (const Case& c : cases) {
    EXPECT_EQ(LogMessage(c.message), c.want) << c.message;
    std::string in_file = c.want;
    if (in_file.starts_with(kStamp)) in_file = kFileStamp + in_file.substr(kStamp.size());
    want_file += in_file + "\n";
  }
  EXPECT_EQ(FileText(), want_file);
  // The file is only appended to: a moved-away log starts afresh.
  std::filesystem::rename(file_, file_.string() + ".old");
  Log("next");
  EXPECT_EQ(FileText(), kFileStamp + "Created log file\n" + kFileStamp + "next\n");
  std::filesystem::remove(file_.string() + ".old");
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveLines) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([t] {
      for (int i = 0; i < 200; ++i) Log(std::string(60, static_cast<char>('a' + t)));
    });
  for (auto& w : writers) w.join();
  std::string text = FileText();
  size_t lines = 0;
  for (size_t start = text.find('\n') + 1; start < text.size(); ++lines) {
    size_t end = text.find('\n', start);
    std::string body = text.substr(start + kFileStamp.size(), end - start - kFileStamp.size());
    ASSERT_EQ(body, std::string(60, body[0]));
    start = end + 1;
  }
  EXPECT_EQ(lines, 800u);
}

TEST_F(LogTest, UnwritableFileOrInstalledRoutine) {
  SetLogFileName("/nonexistent-dir/x.log");
  EXPECT_EQ(LogMessage("still returned"), kStamp + "still returned");
  SetLogFileName(file_.string());
  std::vector<std::string> seen;
  SetLogProc([&seen](const std::string& m) {
    seen.push_back(m);
    return m;
  });
  Log("via front-end");
  SetLogProc(nullptr);
  EXPECT_EQ(seen, std::vector<std::string>{"via front-end"});
  EXPECT_EQ(FileText(), "<missing>") << "the replacement decides where lines go";
}

}  // namespace
}  // namespace netrove
