// The purge on a fake disk with a fake clock, and once on real files.
#include "proxy/cache_purge.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "lib/test_context.h"

namespace netrove {
namespace {

constexpr int64_t kDay = 86400;
constexpr uint64_t kMiB = 1048576;

class PurgeTest : public ::testing::Test {
 protected:
  // Limits, then `count` files of `size` written i days ago (f0 newest).
  uint64_t Round(const std::string& size_limit, const std::string& free_limit, int count,
                 uint64_t size, uint64_t free_bytes = 1ull << 40) {
    ctx_.config.Update([&](ConfigRecord& r) {
      r.proxy_size = size_limit;
      r.proxy_disk_free = free_limit;
    });
    for (int i = 0; i < count; ++i)
      Put("h" + std::to_string(i % 3) + "/f" + std::to_string(i), size, i * kDay);
    env_.SetFreeBytes(free_bytes);
    return purge_.PurgeRound();
  }
  // A cache file last written `written` and last read `read` seconds ago.
  void Put(const std::string& name, uint64_t size, int64_t written, int64_t read = -1) {
    env_.PutFile("C/" + name, std::string(size, 'x'));
    const int64_t now = env_.LocalSeconds();
    ASSERT_TRUE(env_.SetFileTimes("C/" + name, now - written, now - (read < 0 ? written : read)));
  }
  size_t Left() { return env_.Paths().size(); }
  bool Has(const std::string& name) { return env_.FileText("C/" + name).has_value(); }

  testing::FakeEnv env_{testing::FakeEnv::ClockMode::kManual};
  testing::TestContext ctx_{&env_};
  ProxyCachePurge purge_{env_, ctx_.tasks, ctx_.log, ctx_.config, "C"};
};

TEST(PurgeTargets, MegabytesAndPercentagesOfTheDisk) {
  EXPECT_EQ(FreeSpaceTarget("3%", {1000000000, 24000000, 0}), 20000000u);  // 2.4% rounds to 2
  EXPECT_EQ(FreeSpaceTarget("50", {1000000000, 10000000, 0}), 50 * kMiB + 10240 - 10000000);
  for (const char* none : {"0", "9", "2%", "100%", "abc", "5 MB", "9999999999"})
    EXPECT_EQ(FreeSpaceTarget(none, {1000000000, 10000000, 0}), 0u) << none;
  EXPECT_EQ(SizeTarget("5%", 60000000, 1000000000), 20000000u);  // (6 + 1 - 5)%
  EXPECT_EQ(SizeTarget("7%", 60000000, 1000000000), 0u);
  EXPECT_EQ(SizeTarget("50%", 6000000000000000000u, 9000000000000000000u), 1620000000000000000u);
}

TEST_F(PurgeTest, SizeLimitDeletesOldestUntilTwoMegabytesAndSlackAreGone) {
  EXPECT_EQ(Round("10", "3%", 12, kMiB), 3 * kMiB);
  EXPECT_TRUE(Has("h2/f8") && !Has("h0/f9") && Left() == 9u);
  EXPECT_TRUE(ctx_.Has("Purge proxy cache. Free 3,145,728 bytes"));
}

TEST_F(PurgeTest, ThreePercentFreeWantedWithOnePercentFreeDeletesThreePercent) {
  env_.SetDiskSize(1000000000);
  EXPECT_EQ(Round("0", "3%", 20, 2000000, 10000000), 30000000u);
  EXPECT_TRUE(Has("h1/f4") && !Has("h2/f5") && Left() == 5u);
  EXPECT_TRUE(ctx_.Has("Purge proxy cache. Free 30,000,000 bytes"));
}

// Day stamps: among files of one day the largest goes first, whatever the
// hour; reading a file counts as using it.
TEST_F(PurgeTest, DaysDecideAgeAndUnusedFilesGoWhateverTheLimits) {
  const int64_t three_days = 3 * kDay + env_.LocalSeconds() % kDay;  // 00:00, 3 days ago
  Put("s/small", 300000, three_days - 3600);
  Put("s/middle", 600000, three_days - 12 * 3600);
  Put("s/large", 900000, three_days - 23 * 3600);
  Put("old/gone", 1000, 25 * kDay);
  Put("kept/read", 1000, 30 * kDay, kDay);
  Put(".hidden/old", 1000, 40 * kDay);
  EXPECT_EQ(Round("1", "3%", 1, 500000), 1501000u);
  EXPECT_TRUE(Has("s/small") && Has("kept/read") && Has(".hidden/old") && Left() == 4u);
  ctx_.ClearLines();
  EXPECT_EQ(purge_.PurgeRound(), 0u);
  EXPECT_TRUE(ctx_.Lines().empty());
}

TEST_F(PurgeTest, TaskRoundsAfterFifteenSecondsThenEveryHalfHour) {
  Put("h/a", 1000, 25 * kDay);
  purge_.StartPurgeTask();
  ASSERT_TRUE(testing::WaitUntil([&] { return env_.Sleepers() == 1; }));
  env_.Advance(kPurgeFirstWaitMs);
  ASSERT_TRUE(ctx_.WaitForLine("Purge proxy cache. Free 1,000 bytes"));
  ASSERT_TRUE(testing::WaitUntil([&] { return env_.Sleepers() == 1; }));
  Put("h/b", 2000, 25 * kDay);
  env_.Advance(kPurgePeriodMs - 1);
  std::this_thread::sleep_for(testing::Ms(20));
  EXPECT_TRUE(Has("h/b"));
  env_.Advance(1);
  EXPECT_TRUE(ctx_.WaitForLine("Purge proxy cache. Free 2,000 bytes"));
  purge_.StopPurgeTask();
}

// Real file times are UTC and are read on the local scale.
TEST(PurgeFiles, RealFileUnusedFor25DaysIsDeleted) {
  testing::TestContext ctx;
  ctx.config.Update([](ConfigRecord& r) { r.proxy_disk_free = "0"; });
  ASSERT_TRUE(mkdir("C", 0755) == 0 && mkdir("C/h", 0755) == 0);
  ASSERT_TRUE(WriteFileAtomically(ctx.env, "C/h/old", "12345") && TouchFile(ctx.env, "C/h/new"));
  const timespec old_time[2] = {{time(nullptr) - 25 * kDay, 0}, {time(nullptr) - 25 * kDay, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, "C/h/old", old_time, 0), 0);
  EXPECT_EQ(
      ProxyCachePurge(ctx.env, ctx.tasks, ctx.log, ctx.config, ctx.scratch / "C/").PurgeRound(),
      5u);
  EXPECT_TRUE(!FileExists(ctx.env, "C/h/old") && FileExists(ctx.env, "C/h/new"));
}

}  // namespace
}  // namespace netrove
