// Cache entry files: their bytes, when they become visible, what is
// discarded, and writers and readers of one URL at once.
#include "proxy/cache_entry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "lib/proxy_cache.h"
#include "lib/test_context.h"
#include "proxy/skip_urls.h"

namespace netrove {
namespace {

using testing::FakeEnv;
using testing::ResponseHeader;
using testing::StoredResponse;
using testing::WriteEntry;

const std::string kPath = "ProxyCache/server/x.gif";

class CacheEntryTest : public ::testing::Test {
 protected:
  std::unique_ptr<CacheEntryWriter> Create(const std::string& header) {
    return CreateCacheEntry(env_, kPath, 0x11223344, true, testing::kStoredRequest, header);
  }
  // Files of the fake disk other than `but`.
  std::vector<std::string> Others(const std::string& but = kPath) {
    std::vector<std::string> out;
    for (const std::string& p : env_.Paths())
      if (p != but) out.push_back(p);
    return out;
  }
  FakeEnv env_;
  SkipUrlList skip_;
};

TEST_F(CacheEntryTest, CompleteEntryBytesOnDisk) {
  const std::string header = ResponseHeader("Wed, 01 Jan 2025 00:00:00 GMT", 5);
  auto entry = Create(header);
  ASSERT_TRUE(entry);
  // While written the entry lives under a temporary name in state 18.
  EXPECT_FALSE(env_.FileText(kPath));
  ASSERT_EQ(Others().size(), 1u);
  EXPECT_EQ(DirectoryOf(Others()[0]), "ProxyCache/server");
  EXPECT_EQ(env_.FileText(Others()[0])->substr(0, 2), std::string("\x12\x00", 2));
  ASSERT_TRUE(entry->AppendBody("he"));
  ASSERT_TRUE(entry->AppendBody("llo"));
  ASSERT_TRUE(FinishCacheEntry(std::move(entry), 5, false, false, skip_));

  std::string request = testing::kStoredRequest;
  ScrambleBytes(request.data(), request.size());
  const auto r = static_cast<char>(testing::kStoredRequest.size());
  const auto h = static_cast<char>(header.size());
  const std::string want = std::string("\x11\x00", 2) + h + std::string("\x00\x44\x33\x22\x11", 5) +
                           r + std::string("\x00\x00\x00\x01", 4) + request + header + "hello";
  EXPECT_EQ(env_.FileText(kPath), want);
  EXPECT_TRUE(Others().empty());
  EXPECT_TRUE(skip_.Contains(kPath));
  EXPECT_FALSE(skip_.Contains("proxycache/server/x.gif"));

  std::optional<OpenEntry> open = OpenCacheEntry(env_, kPath);
  ASSERT_TRUE(open);
  EXPECT_EQ(open->header, (CacheEntryHeader{kEntryComplete, static_cast<uint16_t>(header.size()),
                                            0x11223344, static_cast<uint32_t>(r), 1}));
  EXPECT_EQ(open->size, want.size());
  EXPECT_EQ(StoredResponse(env_, kPath), header + "hello");
}

TEST_F(CacheEntryTest, IncompleteOrFailedEntriesAreDiscardedAndTheOldOneStays) {
  const std::string header = ResponseHeader("", 5);
  ASSERT_TRUE(WriteEntry(env_, kPath, header, "old!!"));
  struct Case {
    std::string body;
    std::optional<uint64_t> announced;
    bool relay_failed;
  };
  for (const Case& c : {Case{"hel", 5, false}, Case{"hello!", 5, false}, Case{"hello", 5, true},
                        Case{"", std::nullopt, true}}) {
    auto entry = Create(header);
    ASSERT_TRUE(entry && entry->AppendBody(c.body));
    EXPECT_FALSE(FinishCacheEntry(std::move(entry), c.announced, c.relay_failed, false, skip_))
        << c.body;
    EXPECT_TRUE(Others().empty()) << c.body;
    EXPECT_EQ(StoredResponse(env_, kPath), header + "old!!") << c.body;
  }
  // A writer dropped without finishing leaves nothing behind either.
  Create(header).reset();
  EXPECT_TRUE(Others().empty());
  EXPECT_EQ(skip_.Count(), 0);

  // Without a Content-Length whatever arrived is the body; private entries
  // are not trusted without a check.
  auto entry = Create("HTTP/1.0 200 OK\r\n\r\n");
  ASSERT_TRUE(entry && entry->AppendBody("new"));
  EXPECT_TRUE(FinishCacheEntry(std::move(entry), std::nullopt, false, true, skip_));
  EXPECT_EQ(StoredResponse(env_, kPath), "HTTP/1.0 200 OK\r\n\r\nnew");
  EXPECT_EQ(skip_.Count(), 0);
}

TEST_F(CacheEntryTest, DiscardRemovesTheHostDirectoryItMade) {
  auto entry = Create(ResponseHeader("", 5));
  ASSERT_TRUE(entry);
  EXPECT_FALSE(FinishCacheEntry(std::move(entry), 5, false, false, skip_));
  EXPECT_TRUE(env_.ListDirectory("ProxyCache", 10).empty());
}

TEST_F(CacheEntryTest, DiskFaultsLeaveNoEntry) {
  testing::FaultEnv faults(env_);
  faults.FailWriteNumber(2);  // after the header and the stored request: the first body block
  auto entry = CreateCacheEntry(faults, kPath, 1, false, "GET x HTTP/1.0\r\n\r\n", "H\r\n\r\n");
  ASSERT_TRUE(entry);
  EXPECT_FALSE(entry->AppendBody("data"));
  EXPECT_FALSE(FinishCacheEntry(std::move(entry), std::nullopt, false, false, skip_));
  EXPECT_TRUE(env_.Paths().empty());

  faults.FailRenames(true);
  entry = CreateCacheEntry(faults, kPath, 1, false, "GET x HTTP/1.0\r\n\r\n", "H\r\n\r\n");
  ASSERT_TRUE(entry && entry->AppendBody("data"));
  EXPECT_FALSE(FinishCacheEntry(std::move(entry), std::nullopt, false, false, skip_));
  EXPECT_TRUE(env_.Paths().empty());
  EXPECT_EQ(skip_.Count(), 0);

  faults.SetDiskFull(true);
  EXPECT_FALSE(CreateCacheEntry(faults, kPath, 1, false, "GET x HTTP/1.0\r\n\r\n", ""));
}

TEST_F(CacheEntryTest, OnlyCompleteEntriesOpen) {
  std::string header = EncodeEntryHeader({kEntryComplete, 0, 9, 0, 0});
  env_.PutFile("complete", header);
  env_.PutFile("writing", EncodeEntryHeader({kEntryWriting, 0, 9, 0, 0}));
  env_.PutFile("short", header.substr(0, kCacheEntryHeaderSize - 1));
  EXPECT_TRUE(OpenCacheEntry(env_, "complete"));
  EXPECT_FALSE(OpenCacheEntry(env_, "writing"));
  EXPECT_FALSE(OpenCacheEntry(env_, "short"));
  EXPECT_FALSE(OpenCacheEntry(env_, "missing"));
  EXPECT_EQ(DecodeEntryHeader(EncodeEntryHeader({17, 0xBEEF, 0xFFFFFFFF, 70000, 1})),
            (CacheEntryHeader{17, 0xBEEF, 0xFFFFFFFF, 70000, 1}));
}

// Real files, real threads: two clients store one URL while a third reads
// the old entry slowly.
TEST(CacheEntryFiles, ConcurrentWritersLeaveOneCompleteEntryAndReadersKeepTheirs) {
  testing::TestContext ctx;
  Env& env = ctx.env;
  const size_t kBody = 256 * 1024;
  const std::string path = ctx.scratch / "ProxyCache/server/big.gif";
  const std::string header = ResponseHeader("", kBody);
  ASSERT_TRUE(WriteEntry(env, path, header, std::string(kBody, 'o')));

  std::optional<OpenEntry> reader = OpenCacheEntry(env, path);
  ASSERT_TRUE(reader);
  SkipUrlList skip;
  auto write = [&](char fill) {
    auto entry = CreateCacheEntry(env, path, 1, false, testing::kStoredRequest, header);
    if (!entry) return;
    for (size_t i = 0; i < kBody; i += 512) {
      if (!entry->AppendBody(std::string(512, fill))) return;
      if (i % 16384 == 0) std::this_thread::yield();
    }
    (void)FinishCacheEntry(std::move(entry), kBody, false, false, skip);
  };
  std::thread a(write, 'a'), b(write, 'b');
  a.join();
  b.join();

  // The reader opened before both writers still reads the old object whole.
  std::string old(reader->size - kCacheEntryHeaderSize, '\0');
  size_t got = 0;
  for (int64_t n; got < old.size() && (n = reader->file->Read(old.data() + got, 4096)) > 0;)
    got += static_cast<size_t>(n);
  EXPECT_EQ(got, old.size());
  EXPECT_TRUE(old.substr(old.size() - kBody) == std::string(kBody, 'o'));

  const std::string now = StoredResponse(env, path);
  EXPECT_TRUE(now == header + std::string(kBody, 'a') || now == header + std::string(kBody, 'b'))
      << now.substr(0, 80);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(DirectoryOf(path)),
                          std::filesystem::directory_iterator()),
            1);
  EXPECT_EQ(skip.Count(), 2);
}

TEST(SkipUrls, TaskEmptiesTheListEveryPeriod) {
  FakeEnv env(FakeEnv::ClockMode::kManual);
  testing::TestContext ctx(&env);
  SkipUrlList skip;
  TaskHandle task = skip.StartSkipUrlTask(ctx.tasks);
  skip.Add("ProxyCache/a/b");
  skip.Add("ProxyCache/a/b");
  EXPECT_EQ(skip.Count(), 2);
  ASSERT_TRUE(testing::WaitUntil([&] { return env.Sleepers() == 1; }));
  env.Advance(kSkipUrlPeriodMs - 1);
  std::this_thread::sleep_for(testing::Ms(20));
  EXPECT_TRUE(skip.Contains("ProxyCache/a/b"));
  env.Advance(1);
  EXPECT_TRUE(testing::WaitUntil([&] { return skip.Count() == 0; }));
  Tasks::Stop(task);
}

}  // namespace
}  // namespace netrove
