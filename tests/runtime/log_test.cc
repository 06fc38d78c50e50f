// The log: time stamps, line cleaning and the log file.
#include "runtime/log.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "lib/test_context.h"

namespace netrove {
namespace {

const std::string kStamp = "05/03 09:07 \xfe ";  // 2026-03-05 09:07
// The file has the stamp's mark as UTF-8 "■".
const std::string kFileStamp = "05/03 09:07 \xe2\x96\xa0 ";

// A log on the in-memory Env (its clock at 2026-03-05 09:07) and a
// console without a terminal.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { log_.SetFileName("n.log"); }
  std::string FileText() { return env_.FileText("n.log").value_or("<missing>"); }
  testing::FakeEnv env_;
  testing::FailingTaskFailures failures_;
  Tasks tasks_{env_, failures_};
  testing::Pipe keys_, out_;
  Console console_{tasks_, ConsoleIo{keys_.fd[0], out_.fd[1], false}};
  Log log_{env_, console_};
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
    EXPECT_EQ(log_.Message(c.message), c.want) << c.message;
    std::string in_file = c.want;
    if (in_file.starts_with(kStamp)) in_file = kFileStamp + in_file.substr(kStamp.size());
    want_file += in_file + "\n";
  }
  EXPECT_EQ(FileText(), want_file);
  // The file is only appended to: a moved-away log starts afresh.
  ASSERT_TRUE(env_.Rename("n.log", "n.old"));
  log_.Write("next");
  EXPECT_EQ(FileText(), kFileStamp + "Created log file\n" + kFileStamp + "next\n");
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveLines) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([this, t] {
      for (int i = 0; i < 200; ++i) log_.Write(std::string(60, static_cast<char>('a' + t)));
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

TEST_F(LogTest, FullDiskOrInstalledRoutine) {
  env_.SetFreeBytes(0);
  EXPECT_EQ(log_.Message("still returned"), kStamp + "still returned");
  env_.SetFreeBytes(1 << 20);
  std::vector<std::string> seen;
  log_.SetRoutine([&seen](const std::string& m) {
    seen.push_back(m);
    return m;
  });
  log_.Write("via front-end");
  log_.SetRoutine(nullptr);
  EXPECT_EQ(seen, std::vector<std::string>{"via front-end"});
  EXPECT_EQ(FileText(), "") << "the replacement decides where lines go";
  log_.ToFileOnly("file only");
  EXPECT_EQ(FileText(), kFileStamp + "file only\n");
}

}  // namespace
}  // namespace netrove
