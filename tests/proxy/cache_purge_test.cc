// The purge task on a fake disk with a fake clock, and once on real files.
#include "proxy/cache_purge.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "lib/test_context.h"

namespace netrove {
namespace {

using testing::FakeEnv;

constexpr int64_t kDay = 86400;
constexpr uint64_t kMiB = 1048576;

class PurgeTest : public ::testing::Test {
 protected:
  explicit PurgeTest(FakeEnv::ClockMode mode = FakeEnv::ClockMode::kAuto)
      : env_(mode), ctx_(&env_) {}

  void Limits(const std::string& size, const std::string& disk_free) {
    ctx_.config.Update([&](ConfigRecord& r) {
      r.proxy_size = size;
      r.proxy_disk_free = disk_free;
    });
  }
  // A cache file last written `written` and last read `read` seconds ago.
  void Put(const std::string& name, uint64_t size, int64_t written, int64_t read = -1) {
    const std::string path = "ProxyCache/" + name;
    env_.PutFile(path, std::string(size, 'x'));
    const int64_t now = env_.LocalSeconds();
    ASSERT_TRUE(env_.SetFileTimes(path, now - written, now - (read < 0 ? written : read)));
  }
  bool Has(const std::string& name) { return env_.FileText("ProxyCache/" + name).has_value(); }

  FakeEnv env_;
  testing::TestContext ctx_;
  ProxyCachePurge purge_{env_, ctx_.tasks, ctx_.log, ctx_.config, "ProxyCache"};
};

TEST(PurgeTargets, MegabytesAndPercentagesOfTheDisk) {
  const DiskSpace disk{1000000000, 10000000, 0};      // 1% free
  EXPECT_EQ(FreeSpaceTarget("3%", disk), 30000000u);  // (3 + 1 - 1)%
  EXPECT_EQ(FreeSpaceTarget(" 99% ", disk), 990000000u);
  EXPECT_EQ(FreeSpaceTarget("3%", {1000000000, 24000000, 0}), 20000000u);  // 2.4% rounds to 2
  EXPECT_EQ(FreeSpaceTarget("3%", {1000000000, 26000000, 0}), 10000000u);  // 2.6% rounds to 3
  EXPECT_EQ(FreeSpaceTarget("3%", {1000000000, 36000000, 0}), 0u);
  EXPECT_EQ(FreeSpaceTarget("50", disk), 50 * kMiB + 10240 - 10000000);
  EXPECT_EQ(FreeSpaceTarget("9", disk), 0u);
  EXPECT_EQ(FreeSpaceTarget("3%", {0, 0, 0}), 0u);
  for (const char* none : {"0", "", "2%", "100%", "abc", "-5", "5 MB", "1e3", "9999999999"})
    EXPECT_EQ(FreeSpaceTarget(none, disk), 0u) << none;

  EXPECT_EQ(SizeTarget("10", 12 * kMiB, 1ull << 40), 2 * kMiB + 10240);
  EXPECT_EQ(SizeTarget("10", 10 * kMiB, 1ull << 40), 0u);
  EXPECT_EQ(SizeTarget("0", 12 * kMiB, 1ull << 40), 0u);
  EXPECT_EQ(SizeTarget("5%", 60000000, 1000000000), 20000000u);  // (6 + 1 - 5)%
  EXPECT_EQ(SizeTarget("7%", 60000000, 1000000000), 0u);
  EXPECT_EQ(SizeTarget("50%", 6000000000000000000u, 9000000000000000000u), 1620000000000000000u);
  EXPECT_EQ(SizeTarget("x%", 12 * kMiB, 1ull << 40), 0u);
}

TEST_F(PurgeTest, SizeLimitDeletesOldestUntilTwoMegabytesAndSlackAreGone) {
  Limits("10", "3%");
  for (int i = 0; i < 12; ++i) Put("host/f" + std::to_string(i), kMiB, i * kDay);
  EXPECT_EQ(purge_.PurgeRound(), 3 * kMiB);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(Has("host/f" + std::to_string(i)), i < 9) << i;
  EXPECT_TRUE(ctx_.Has("Purge proxy cache. Free 3,145,728 bytes"));
}

TEST_F(PurgeTest, FreeSpaceTargetIsThreePercentOfTheDiskWithOnePercentFree) {
  Limits("0", "3%");
  for (int i = 0; i < 20; ++i)
    Put("h" + std::to_string(i % 3) + "/f" + std::to_string(i), 2000000, i * kDay);
  env_.SetDiskSize(1000000000);
  env_.SetFreeBytes(10000000);
  EXPECT_EQ(purge_.PurgeRound(), 30000000u);
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(Has("h" + std::to_string(i % 3) + "/f" + std::to_string(i)), i < 5) << i;
  EXPECT_TRUE(ctx_.Has("Purge proxy cache. Free 30,000,000 bytes"));
}

// Stamps are whole days: among files of one day the largest goes first,
// whatever the hour each was written.
TEST_F(PurgeTest, EqualDaysGoLargestFirst) {
  Limits("1", "3%");
  const int64_t since_midnight = env_.LocalSeconds() % kDay;
  const int64_t day_ago_3 = 3 * kDay + since_midnight;  // 00:00 three days ago
  Put("h/small", 300000, day_ago_3 - 3600);             // 01:00
  Put("h/middle", 600000, day_ago_3 - 12 * 3600);       // 12:00
  Put("h/large", 900000, day_ago_3 - 23 * 3600);        // 23:00
  Put("h/new", 500000, kDay);
  EXPECT_EQ(purge_.PurgeRound(), 1500000u);
  EXPECT_FALSE(Has("h/large"));
  EXPECT_FALSE(Has("h/middle"));
  EXPECT_TRUE(Has("h/small"));
  EXPECT_TRUE(Has("h/new"));
}

TEST_F(PurgeTest, FilesUnusedFor24DaysGoWhateverTheLimits) {
  Limits("0", "0");
  Put("old/gone", 1000, 25 * kDay);
  Put("kept/recent", 1000, 23 * kDay);
  Put("kept/read", 1000, 30 * kDay, kDay);  // written long ago, read yesterday
  Put(".hidden/old", 1000, 40 * kDay);
  EXPECT_EQ(purge_.PurgeRound(), 1000u);
  EXPECT_FALSE(Has("old/gone"));
  EXPECT_TRUE(Has("kept/recent"));
  EXPECT_TRUE(Has("kept/read"));
  EXPECT_TRUE(Has(".hidden/old"));
  EXPECT_TRUE(ctx_.Has("Purge proxy cache. Free 1,000 bytes"));
  // Nothing to do: no line.
  ctx_.ClearLines();
  EXPECT_EQ(purge_.PurgeRound(), 0u);
  EXPECT_TRUE(ctx_.Lines().empty());
}

class PurgeTaskTest : public PurgeTest {
 protected:
  PurgeTaskTest() : PurgeTest(FakeEnv::ClockMode::kManual) {}
};

TEST_F(PurgeTaskTest, RoundsAfterFifteenSecondsThenEveryHalfHour) {
  Limits("0", "3%");
  Put("h/a", 1000, 25 * kDay);
  purge_.StartPurgeTask();
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

// Real files: their times are UTC and must be read on the local scale.
TEST(PurgeFiles, RealFilesUnusedFor25DaysAreDeleted) {
  testing::TestContext ctx;
  ctx.config.Update([](ConfigRecord& r) { r.proxy_disk_free = "0"; });
  ASSERT_EQ(mkdir("ProxyCache", 0755), 0);
  ASSERT_EQ(mkdir("ProxyCache/host", 0755), 0);
  for (const char* name : {"ProxyCache/host/old", "ProxyCache/host/new"})
    ASSERT_TRUE(WriteFileAtomically(ctx.env, name, "12345"));
  const timespec old_time{time(nullptr) - 25 * kDay, 0};
  const timespec times[2] = {old_time, old_time};
  ASSERT_EQ(utimensat(AT_FDCWD, "ProxyCache/host/old", times, 0), 0);
  ProxyCachePurge purge(ctx.env, ctx.tasks, ctx.log, ctx.config, ctx.scratch / "ProxyCache/");
  EXPECT_EQ(purge.PurgeRound(), 5u);
  EXPECT_FALSE(FileExists(ctx.env, "ProxyCache/host/old"));
  EXPECT_TRUE(FileExists(ctx.env, "ProxyCache/host/new"));
}

}  // namespace
}  // namespace netrove
