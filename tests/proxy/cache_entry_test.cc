// Cache entry files: their bytes, when they become visible, what is
// discarded, and writers and readers of one URL at once.
#include "proxy/cache_entry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "lib/proxy_cache.h"
#include "lib/test_context.h"

namespace netrove {
namespace {

using testing::kStoredRequest;
using testing::ResponseHeader;
using testing::StoredResponse;

const std::string kPath = "C/server/x.gif";

TEST(CacheEntry, BytesOnDiskAppearOnlyWhenComplete) {
  testing::FakeEnv env;
  SkipUrlList skip;
  const std::string header = ResponseHeader("Wed, 01 Jan 2025", 5);
  auto entry = CreateCacheEntry(env, kPath, 0x11223344, true, kStoredRequest, header);
  ASSERT_TRUE(entry && entry->AppendBody("he") && entry->AppendBody("llo"));
  // Until finished the entry is a temporary file in state 18.
  ASSERT_EQ(env.Paths().size(), 1u);
  EXPECT_EQ(env.FileText(entry->temp_path())->substr(0, 2), std::string("\x12\x00", 2));
  EXPECT_EQ(DirectoryOf(entry->temp_path()), "C/server");
  ASSERT_TRUE(FinishCacheEntry(std::move(entry), 5, false, false, skip));

  std::string request = kStoredRequest;
  ScrambleBytes(request.data(), request.size());
  const std::string want = std::string("\x11\x00", 2) + char(header.size()) +
                           std::string("\x00\x44\x33\x22\x11", 5) + char(kStoredRequest.size()) +
                           std::string("\x00\x00\x00\x01", 4) + request + header + "hello";
  EXPECT_EQ(env.Paths(), std::vector<std::string>{kPath});
  EXPECT_EQ(env.FileText(kPath), want);
  EXPECT_TRUE(skip.Contains(kPath));
  EXPECT_EQ(StoredResponse(env, kPath), header + "hello");

  env.PutFile("writing", EncodeEntryHeader({kEntryWriting, 0, 9, 0, 0}));
  env.PutFile("short", want.substr(0, kCacheEntryHeaderSize - 1));
  EXPECT_FALSE(OpenCacheEntry(env, "writing") || OpenCacheEntry(env, "short"));
}

TEST(CacheEntry, ShortFailedOrPrivateBodiesAndTheOldEntry) {
  testing::FakeEnv env;
  testing::FaultEnv faults(env);
  SkipUrlList skip;
  const std::string header = ResponseHeader("", 5);
  ASSERT_TRUE(testing::WriteEntry(env, kPath, header, "old!!"));
  struct Case {
    std::string body;
    std::optional<uint64_t> announced;
    bool relay_failed = false, fail_write = false, fail_rename = false;
  };
  for (const Case& c : {Case{"hel", 5}, Case{"hello!", 5}, Case{"hello", 5, true},
                        Case{"hello", 5, false, true}, Case{"hello", 5, false, false, true}}) {
    faults.FailWriteNumber(c.fail_write ? 2 : -100);
    faults.FailRenames(c.fail_rename);
    auto entry = CreateCacheEntry(faults, kPath, 1, false, kStoredRequest, header);
    ASSERT_TRUE(entry);
    EXPECT_NE(entry->AppendBody(c.body), c.fail_write);
    EXPECT_FALSE(FinishCacheEntry(std::move(entry), c.announced, c.relay_failed, false, skip));
    EXPECT_EQ(env.Paths(), std::vector<std::string>{kPath}) << c.body;
    EXPECT_EQ(StoredResponse(env, kPath), header + "old!!") << c.body;
  }
  faults.FailRenames(false);
  EXPECT_EQ(skip.Count(), 0);
  // Without a Content-Length whatever arrived is the body; private entries
  // stay out of the skip list.
  auto entry = CreateCacheEntry(env, kPath, 1, false, kStoredRequest, "H\r\n\r\n");
  ASSERT_TRUE(entry && entry->AppendBody("new"));
  EXPECT_TRUE(FinishCacheEntry(std::move(entry), std::nullopt, false, true, skip));
  EXPECT_EQ(StoredResponse(env, kPath), "H\r\n\r\nnew");
  EXPECT_EQ(skip.Count(), 0);
}

// Real files, real threads: two clients store one URL while a third reads
// the old entry.
TEST(CacheEntry, ConcurrentWritersLeaveOneCompleteEntryAndReadersKeepTheirs) {
  testing::TestContext ctx;
  const size_t kBody = 256 * 1024;
  const std::string path = ctx.scratch / kPath, header = ResponseHeader("", kBody);
  ASSERT_TRUE(testing::WriteEntry(ctx.env, path, header, std::string(kBody, 'o')));
  std::optional<OpenEntry> reader = OpenCacheEntry(ctx.env, path);
  ASSERT_TRUE(reader);
  SkipUrlList skip;
  auto write = [&](char fill) {
    auto entry = CreateCacheEntry(ctx.env, path, 1, false, kStoredRequest, header);
    for (size_t i = 0; entry && i < kBody; i += 512) {
      if (!entry->AppendBody(std::string(512, fill))) return;
      if (i % 16384 == 0) std::this_thread::yield();
    }
    if (entry) (void)FinishCacheEntry(std::move(entry), kBody, false, false, skip);
  };
  std::thread a(write, 'a'), b(write, 'b');
  a.join();
  b.join();

  std::string old(reader->size - kCacheEntryHeaderSize, '\0');
  size_t got = 0;
  for (int64_t n; got < old.size() && (n = reader->file->Read(old.data() + got, 4096)) > 0;)
    got += static_cast<size_t>(n);
  EXPECT_TRUE(got == old.size() && old.ends_with(header + std::string(kBody, 'o')));
  const std::string now = StoredResponse(ctx.env, path);
  EXPECT_TRUE(now == header + std::string(kBody, 'a') || now == header + std::string(kBody, 'b'));
  EXPECT_EQ(ctx.env.ListDirectory(DirectoryOf(path), 10), std::vector<std::string>{"x.gif"});
  EXPECT_EQ(skip.Count(), 2);
  // A discarded entry takes the host directory it made with it.
  ASSERT_TRUE(CreateCacheEntry(ctx.env, ctx.scratch / "C/new/y", 1, false, kStoredRequest, ""));
  EXPECT_FALSE(std::filesystem::exists(ctx.scratch / "C/new"));
}

TEST(SkipUrls, TaskEmptiesTheListEveryFiveMinutes) {
  testing::FakeEnv env(testing::FakeEnv::ClockMode::kManual);
  testing::TestContext ctx(&env);
  SkipUrlList skip;
  TaskHandle task = skip.StartSkipUrlTask(ctx.tasks);
  skip.Add(kPath);
  ASSERT_TRUE(testing::WaitUntil([&] { return env.Sleepers() == 1; }));
  env.Advance(kSkipUrlPeriodMs - 1);
  std::this_thread::sleep_for(testing::Ms(20));
  EXPECT_TRUE(skip.Contains(kPath) && !skip.Contains("c/server/x.gif"));
  env.Advance(1);
  EXPECT_TRUE(testing::WaitUntil([&] { return skip.Count() == 0; }));
  Tasks::Stop(task);
}

}  // namespace
}  // namespace netrove
