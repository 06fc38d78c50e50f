// The platform: file helpers and the log on real files through the
// fault-injecting Env, the seconds clock, the rate limit of reports.
#include "runtime/env.h"

#include <gtest/gtest.h>

#include "lib/local_time.h"
#include "lib/test_context.h"
#include "runtime/clock.h"
#include "runtime/rate_limit.h"
#include "runtime/text.h"
#include "testing/fake_env.h"

namespace netrove {
namespace {

using testing_time::NowSecondsAt;
const std::string kStamp = "05/03 09:07 \xfe ";  // 2026-03-05 09:07
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
}

// The same file rules on the disk and in the in-memory fake.
TEST_F(EnvTest, RandomWritesStreamedReadsAndDirectories) {
  testing::FakeEnv fake;
  for (Env* env : {static_cast<Env*>(&env_), static_cast<Env*>(&fake)}) {
    auto file = env->OpenForWriting("e.bin", Env::OpenMode::kTruncate, 0644);
    ASSERT_TRUE(file && file->Append("abcdef") && file->WriteAt(0, "XY") && file->Append("g"));
    ASSERT_TRUE(file->WriteAt(8, "!") && file->Close());  // past the end: a gap of zeros
    auto in = env->OpenForReading("e.bin");
    ASSERT_TRUE(in);
    EXPECT_EQ(in->Info().size, 9u);
    char buffer[16];
    std::string got;
    for (int64_t n; (n = in->Read(buffer, 4)) > 0;) got.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(got, std::string("XYcdefg\0!", 9));
    // A file made exclusively takes writes at an offset too.
    auto fresh = env->OpenForWriting("new.bin", Env::OpenMode::kCreateOnly, 0644);
    ASSERT_TRUE(fresh && fresh->Append("abc") && fresh->WriteAt(0, "X") && fresh->Append("d"));
    ASSERT_TRUE(fresh->Close());
    EXPECT_EQ(env->ReadFile("new.bin", 16), "Xbcd");
    EXPECT_FALSE(env->OpenForWriting("new.bin", Env::OpenMode::kCreateOnly, 0644));
    auto appending = env->OpenForWriting("new.bin", Env::OpenMode::kAppend, 0644);
    EXPECT_FALSE(appending->WriteAt(0, "Y"));  // would land at the end
    appending.reset();
    EXPECT_EQ(env->ReadFile("new.bin", 16), "Xbcd");
    ASSERT_TRUE(env->MakeDirectory("d", 0755) && TouchFile(*env, "d/f"));
    EXPECT_FALSE(env->OpenForReading("d"));
    EXPECT_FALSE(env->OpenForReading("missing"));
    EXPECT_TRUE(env->Stat("d")->is_directory);
    auto names = env->ListDirectory(".", 10);
    EXPECT_NE(std::find(names.begin(), names.end(), "d"), names.end());
    EXPECT_FALSE(env->RemoveDirectory("d"));  // not empty
    ASSERT_TRUE(env->RemoveFile("d/f"));
    EXPECT_TRUE(env->RemoveDirectory("d"));
    EXPECT_FALSE(env->Stat("d"));
  }
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
  EXPECT_EQ(Read("n.log"), want_file);  // with the mark as UTF-8
  // The file is only appended to: a moved-away log starts afresh; a full
  // disk costs the line in the file only.
  ASSERT_TRUE(env_.Rename("n.log", "n.old"));
  env_.SetDiskFull(true);
  EXPECT_EQ(log_.Message("still returned"), kStamp + "still returned");
  env_.SetDiskFull(false);
  log_.Write("next");
  EXPECT_EQ(Read("n.log"), kFileStamp + "Created log file\n" + kFileStamp + "next\n");
  // An installed routine decides where lines go.
  log_.SetRoutine([](const std::string& m) { return "seen " + m; });
  EXPECT_EQ(log_.Routine("via front-end"), "seen via front-end");
  log_.SetRoutine(nullptr);
  log_.ToFileOnly("file only");
  EXPECT_TRUE(Read("n.log").ends_with("next\n" + kFileStamp + "file only\n")) << Read("n.log");
}

// NowSeconds counts from Monday 29 December 1969, local time.
// (FormatDuration is checked through the statistics report.)
TEST(Clock, NowSecondsAndNextTimeOf) {
  const std::pair<int64_t, uint32_t> now[] = {
      {0, 259200},                   // Thursday 1 January 1970 00:00
      {1796601600, 2971 * 604800u},  // Monday 7 December 2026 00:00 starts a week
      {1796601599, 2971 * 604800u - 1},
      {2200000000, 2200259200u}};  // past 2038 the unsigned count goes on
  for (auto& [local, want] : now) {
    testing::FakeEnv env(testing::FakeEnv::ClockMode::kAuto, local);
    EXPECT_EQ(NowSeconds(env), want) << local;
  }
  uint32_t base = NowSecondsAt(2026, 12, 7, 10, 15, 20), late = NowSecondsAt(2026, 1, 1, 23, 58);
  const std::tuple<uint32_t, const char*, uint32_t> cases[] = {
      {base, "10:15", base},  // inside the matching minute: the base itself
      {base, "10:14", NowSecondsAt(2026, 12, 8, 10, 14, 20)},  // passed today: tomorrow
      {base, "10:16", base + 60},
      {base, "24:30", NowSecondsAt(2026, 12, 8, 0, 30, 20)},  // out-of-range parts count as 0
      {base, "11:60", NowSecondsAt(2026, 12, 7, 11, 0, 20)},
      {base, "x:y", NowSecondsAt(2026, 12, 8, 0, 0, 20)},
      {late, "5", late + 300},  // minutes from the base, across midnight
      {late, "0", late + 60},   // 0 counts as 1
      {late, "junk", late + 60},
  };
  for (auto& [from, text, want] : cases) EXPECT_EQ(NextTimeOf(from, text), want) << text;
}

// "+" turns to a space before the escapes are read, so an escaped "+" stays.
TEST(Text, CaseUrlDecodeAndThousands) {
  EXPECT_EQ(UrlDecode("a+b%20c%2Bd%2fe"), "a b c+d/e");
  EXPECT_EQ(UrlDecode("100%"), "100%");
  EXPECT_EQ(UrlDecode("%zz%4"), "%zz%4");
  EXPECT_EQ(UrlDecode(std::string("%00x", 4)), std::string("\0x", 2));
  EXPECT_TRUE(EqualsNoCase("Content-Length", "CONTENT-length"));
  EXPECT_FALSE(EqualsNoCase("[x@", "{X`"));  // only letters differ by case
  EXPECT_EQ(LowerAscii("A-Z@[\xc4"), "a-z@[\xc4");
  EXPECT_EQ(GroupThousands(0), "0");
  EXPECT_EQ(GroupThousands(999), "999");
  EXPECT_EQ(GroupThousands(1048576), "1,048,576");
  EXPECT_EQ(GroupThousands(4294967295u), "4,294,967,295");
}

// File times are UTC; the offset puts them on the LocalSeconds scale.
TEST(PosixEnvClock, LocalOffsetMatchesLocalSeconds) {
  PosixEnv posix;
  testing::FaultEnv wrapped(posix);
  const char* zone = getenv("TZ");
  const std::string saved = zone ? zone : "";
  setenv("TZ", "XST-3", 1);  // three hours east of UTC, no daylight saving
  tzset();
  const int64_t utc = time(nullptr), local = posix.LocalSeconds();
  EXPECT_EQ(wrapped.LocalOffsetAt(utc), 3 * 3600);
  EXPECT_NEAR(local - utc, 3 * 3600, 1);
  zone ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
  EXPECT_EQ(testing::FakeEnv().LocalOffsetAt(utc), 0);
}

TEST(RateLimiter, FloodOfOneKeyWritesABurstASecondAndASummaryAMinute) {
  RateLimiter limiter;
  int written = 0;
  for (int i = 0; i < 1000; ++i) written += limiter.Admit("10.0.0.9", i);  // one second
  EXPECT_EQ(written, RateLimiter::kBurst);
  EXPECT_TRUE(limiter.Admit("10.0.0.8", 999));        // other keys are not held back
  EXPECT_TRUE(limiter.TakeSummaries(30000).empty());  // not yet a minute
  std::vector<RateLimiter::Summary> due = limiter.TakeSummaries(61000);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(RateLimiter::SummaryText(due[0]), "\xe2\x80\xa6 997 further attempts from 10.0.0.9");
  EXPECT_TRUE(limiter.TakeSummaries(62000).empty());  // reported counts start again
  EXPECT_TRUE(limiter.Admit("10.0.0.9", 62000));      // a new second, a new burst
  // A flood from many addresses at once shares one key beyond the bound.
  for (size_t k = 0; k < RateLimiter::kMaxKeys + 100; ++k)
    for (int i = 0; i <= RateLimiter::kBurst; ++i) limiter.Admit("k" + std::to_string(k), 70000);
  due = limiter.TakeSummaries(70000, true);
  EXPECT_LE(due.size(), RateLimiter::kMaxKeys);
  EXPECT_TRUE(std::any_of(due.begin(), due.end(), [](const auto& s) {
    return s.key == RateLimiter::kOtherKey && s.count > 0;
  }));
}

}  // namespace
}  // namespace netrove
