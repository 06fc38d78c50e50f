// The disk cache: names, codecs, policy, entries, revalidation, the purge (fake and real disk).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "lib/net_context.h"
#include "proxy/cache_codec.h"
#include "proxy/cache_entry.h"
#include "proxy/cache_name.h"
#include "proxy/cache_policy.h"
#include "proxy/cache_purge.h"
#include "proxy/cache_revalidate.h"
#include "proxy/skip_urls.h"

namespace netrove {
namespace {

const std::string kPath = "C/server/x.gif", kDate = "Wed, 01 Jan 2025 00:00:00 GMT";
const std::string kStoredRequest =
    "GET http://server/img/logo.gif HTTP/1.0\r\nHost: server\r\nCookie: id=7\r\n\r\n";

std::string ResponseHeader(const std::string& last_modified, size_t length) {
  return "HTTP/1.0 200 OK\r\n" +
         (last_modified.empty() ? "" : "Last-Modified: " + last_modified + "\r\n") +
         (length ? "Content-Length: " + std::to_string(length) + "\r\n" : "") + "\r\n";
}

// A complete entry with the validator of `header`; false on any failure.
bool WriteEntry(Env& env, const std::string& path, const std::string& header,
                const std::string& body, const std::string& request = kStoredRequest) {
  SkipUrlList skip;
  auto entry =
      CreateCacheEntry(env, path, ComputeValidator(header).value_or(0), false, request, header);
  return entry && entry->AppendBody(body) &&
         FinishCacheEntry(std::move(entry), body.size(), false, false, skip);
}

// What follows the entry's header.
std::string Rest(OpenEntry& entry) {
  std::string out(entry.size - kCacheEntryHeaderSize, '\0');
  return ReadFully(*entry.file, out.data(), out.size()) ? out : "<short>";
}

// What follows the stored request: the response header and the body.
std::string StoredResponse(Env& env, const std::string& path) {
  std::optional<OpenEntry> entry = OpenCacheEntry(env, path);
  return entry ? Rest(*entry).substr(entry->header.request_length) : "<none>";
}

// Failed, short, long or private bodies leave the old entry and the skip list.
TEST(CacheEntry, BytesAppearOnlyWhenCompleteAndFailuresKeepTheOldEntry) {
  testing::FakeEnv env;
  testing::FaultEnv faults(env);
  SkipUrlList skip, none;
  const std::string header = ResponseHeader("Wed, 01 Jan 2025", 5);
  auto entry = CreateCacheEntry(env, kPath, 0x11223344, true, kStoredRequest, header);
  ASSERT_TRUE(entry && entry->AppendBody("he") && entry->AppendBody("llo"));
  // Until finished the entry is a temporary file in state 18 beside its path.
  EXPECT_EQ(env.FileText(entry->temp_path()).value_or("").substr(0, 2), std::string("\x12\x00", 2));
  EXPECT_EQ(DirectoryOf(entry->temp_path()), "C/server");
  ASSERT_TRUE(FinishCacheEntry(std::move(entry), 5, false, false, skip));

  std::string request = kStoredRequest;
  ScrambleBytes(request.data(), request.size());
  const std::string want =  // complete, lengths 71 and 71, validator, html
      std::string("\x11\x00\x47\x00\x44\x33\x22\x11\x47\x00\x00\x00\x01", 13) + request + header +
      "hello";
  EXPECT_TRUE(env.Paths() == std::vector<std::string>{kPath} && skip.Contains(kPath));
  EXPECT_EQ(env.FileText(kPath), want);
  for (std::string fault : {"hel", "hello!", "relay", "write", "rename"}) {
    const std::string body = fault.starts_with("hel") ? fault : "hello";
    faults.FailWriteNumber(fault == "write" ? 2 : -100);
    faults.FailRenames(fault == "rename");
    entry = CreateCacheEntry(faults, kPath, 1, false, kStoredRequest, header);
    ASSERT_TRUE(entry);
    EXPECT_NE(entry->AppendBody(body), fault == "write");
    EXPECT_FALSE(FinishCacheEntry(std::move(entry), 5, fault == "relay", false, none));
    EXPECT_TRUE(env.Paths() == std::vector<std::string>{kPath} && env.FileText(kPath) == want)
        << fault;
  }
  // Without a Content-Length all that came is the body; a private entry is not listed.
  entry = CreateCacheEntry(env, kPath, 1, false, kStoredRequest, "H\r\n\r\n");
  ASSERT_TRUE(entry && entry->AppendBody("new"));
  EXPECT_TRUE(FinishCacheEntry(std::move(entry), std::nullopt, false, true, none));
  EXPECT_TRUE(StoredResponse(env, kPath) == "H\r\n\r\nnew" && none.Count() == 0);
  env.PutFile("writing", EncodeEntryHeader({kEntryWriting, 0, 9, 0, 0}));
  env.PutFile("short", want.substr(0, kCacheEntryHeaderSize - 1));
  EXPECT_FALSE(OpenCacheEntry(env, "writing") || OpenCacheEntry(env, "short"));
}

// Real files: two writers, a reader of the old entry, a purge (UTC times).
TEST(CacheEntry, ConcurrentWritersReadersAndTheRealPurge) {
  testing::TestContext ctx;
  const size_t kBody = 256 * 1024;
  const std::string path = ctx.scratch / kPath, header = ResponseHeader("", kBody);
  ASSERT_TRUE(WriteEntry(ctx.env, path, header, std::string(kBody, 'o')));
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
  { std::jthread a(write, 'a'), b(write, 'b'); }
  EXPECT_TRUE(Rest(*reader).ends_with(header + std::string(kBody, 'o')));
  const std::string now = StoredResponse(ctx.env, path);
  EXPECT_TRUE(now == header + std::string(kBody, 'a') || now == header + std::string(kBody, 'b'));
  EXPECT_EQ(ctx.env.ListDirectory(DirectoryOf(path), 10), std::vector<std::string>{"x.gif"});
  EXPECT_EQ(skip.Count(), 1);  // both completed the one path
  // A discarded entry takes the host directory it made with it.
  ASSERT_TRUE(CreateCacheEntry(ctx.env, ctx.scratch / "C/new/y", 1, false, kStoredRequest, ""));
  EXPECT_FALSE(std::filesystem::exists(ctx.scratch / "C/new"));
  ctx.config.Update([](ConfigRecord& r) { r.proxy_disk_free = "0"; });
  ASSERT_TRUE(std::filesystem::create_directories("C/h"));
  ASSERT_TRUE(WriteFileAtomically(ctx.env, "C/h/old", "12345") && TouchFile(ctx.env, "C/h/new"));
  const timespec old_time[2] = {{time(nullptr) - 25 * 86400, 0}, {time(nullptr) - 25 * 86400, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, "C/h/old", old_time, 0), 0);
  ProxyCachePurge purge(ctx.env, ctx.tasks, ctx.log, ctx.config, ctx.scratch / "C/");
  EXPECT_EQ(purge.PurgeRound(), 5u);
  EXPECT_TRUE(!FileExists(ctx.env, "C/h/old") && FileExists(ctx.env, "C/h/new"));
}

TEST(Revalidate, HeadOfTheStoredRequestConfirmsOrDeletesTheEntry) {
  testing::NetTestContext ctx;
  std::atomic<uint32_t> net_bytes{0};
  std::string last_request;
  int opens = 0;
  // Revalidates kPath through an origin that answers `reply`.
  auto revalidate = [&](const std::string& reply) {
    testing::TcpOrigin origin(reply);
    auto open = [&](const std::string& path) {
      ++opens;
      return path == kPath
                 ? Upstream{ctx.net.connector().Connect(origin.host(), 80), "X-Hop: 1\r\n"}
                 : Upstream{};
    };
    bool current = RevalidateEntry(ctx.env, kPath, open, net_bytes);
    last_request = origin.last_request();
    return current;
  };
  ASSERT_TRUE(WriteEntry(ctx.env, kPath, ResponseHeader(kDate, 5), "hello"));
  // Lines in another order and case; the body is not read.
  const std::string same =
      "HTTP/1.0 200 OK\r\ncontent-length: 5\r\nLAST-MODIFIED: " + kDate + "\r\n\r\n";
  EXPECT_TRUE(revalidate(same + "body"));
  std::string head = "HEAD" + kStoredRequest.substr(3);
  EXPECT_EQ(last_request, head.insert(head.find("\r\n") + 2, "X-Hop: 1\r\n"));
  EXPECT_EQ(net_bytes.load(), same.size());
  EXPECT_TRUE(revalidate("HTTP/1.0 304 Not Modified\r\n\r\n"));
  // Answers that end or flood before their empty line, or no upstream at all.
  EXPECT_FALSE(revalidate("HTTP/1.0 200 OK\r\nLast-Modified: " + kDate + "\r\n"));
  std::string flood = "HTTP/1.0 200 OK\r\n";
  while (flood.size() <= kMaxRevalidationHeader) flood += "X: " + std::string(900, 'p') + "\r\n";
  EXPECT_FALSE(revalidate(flood + "\r\n"));
  EXPECT_FALSE(RevalidateEntry(
      ctx.env, kPath, [](const std::string&) { return Upstream{}; }, net_bytes));
  EXPECT_TRUE(FileExists(ctx.env, kPath));
  EXPECT_FALSE(revalidate(ResponseHeader("Thu, 02 Jan 2025 00:00:00 GMT", 5)));
  EXPECT_FALSE(FileExists(ctx.env, kPath));
  // Validator 0 matches too much; requests beyond buffer or file are not sent.
  opens = 0;
  ASSERT_TRUE(WriteEntry(ctx.env, kPath, ResponseHeader("", 0), "x"));
  EXPECT_FALSE(revalidate(ResponseHeader("", 0)));
  const std::string big = "GET http://s/ HTTP/1.0\r\nX: " + std::string(kMaxStoredRequest, 'x');
  ASSERT_TRUE(WriteEntry(ctx.env, kPath, ResponseHeader(kDate, 5), "hello", big));
  EXPECT_FALSE(revalidate(ResponseHeader(kDate, 5)));
  testing::WriteFile(kPath, EncodeEntryHeader({kEntryComplete, 0, 1, 1000, 0}) + "GET / HTTP/1.0");
  EXPECT_FALSE(revalidate(ResponseHeader(kDate, 5)));
  EXPECT_EQ(opens, 0);
}

std::string CachePathOf(const std::string& request_line) {
  CacheName name = CacheNameFromRequest(request_line + " HTTP/1.0\r\nHost: x\r\n\r\n");
  return name.host_dir + " | " + name.file_name + " | " +
         CachePathFor("C/", name, request_line.find("ftp:") != std::string::npos).value_or("-");
}

TEST(CacheName, RequestsMapToFlattenedNamesAndSafePaths) {
  const std::string fits(kMaxCachePath - 9, 'a');  // "C/" + "server/" + name
  for (const auto& [line, want] : std::vector<std::pair<std::string, std::string>>{
           {"GET http://server/x/y.gif?1", "server | x+y.gif?1 | C/server/x+y.gif!1"},
           {"get http://server/x/y.gif?2", "server | x+y.gif?2 | C/server/x+y.gif!2"},
           {"HEAD http://user@server:81/", "server...81 | + | C/server...81/+"},
           {"GET http://server/a%2Fb|c*d:e", "server | a+b|c*d:e | C/server/a+b!c!d!e"},
           {"GET http://server/a+b%20c", "server | a b c | C/server/a b c"},
           {"GET http:\\\\server\\d\\f.txt", "server | d+f.txt | C/server/d+f.txt"},
           {"GET ftp://host/pub/f.zip", "host | pub+f.zip | C/FTP/host/pub+f.zip"},
           {"POST http://server/form", "server | *form | -"},
           {"CONNECT server:443", "server...443 | *+ | -"},
           // Names that would leave the cache directory, or cut paths that collide.
           {"GET http:///x", " | x | -"},
           {"GET http://%2e%2e/x", ".. | x | -"},
           {"GET http://server/%2e%2e", "server | .. | -"},
           {"GET http://ser%00ver/x", std::string("ser\0ver | x | -", 15)},
           {"GET http://server/" + fits, "server | " + fits + " | C/server/" + fits},
           {"GET http://server/" + fits + "b", "server | " + fits + "b | -"}})
    EXPECT_EQ(CachePathOf(line), want) << line;
  EXPECT_EQ(CacheNameFromRequest("GET http://server/x HTTP/1.0").file_name, "");  // no LF
}

TEST(CacheCodec, ValidatorScramblerAndWhatIsStoredOrServedUnchecked) {
  EXPECT_EQ(Crc32("6789", Crc32("12345")), 0xCBF43926u);
  // Last-Modified first whatever the order; upper-cased, CR included.
  for (const char* header : {"H\r\nContent-Length: 5\r\nLast-Modified: Wed, 01 Jan 2025\r\n\r\n",
                             "H\r\nlast-modified: wed, 01 jan 2025\r\ncontent-length: 5\r\n\r\n"})
    EXPECT_EQ(ComputeValidator(header),
              Crc32("LAST-MODIFIED: WED, 01 JAN 2025\rCONTENT-LENGTH: 5\r"));
  EXPECT_EQ(ComputeValidator("H\r\nContent-Length: 5\r\n\r\n"), Crc32("CONTENT-LENGTH: 5\r"));
  EXPECT_EQ(ComputeValidator("Content-Length: 5\r\nContent-Type: a\r\n\r\n"), std::nullopt);

  std::string text = "Cookie: id=7";
  ScrambleBytes(text.data(), text.size());
  EXPECT_EQ(text, "\xd5\x44\xbc\x85\x32\x69\xe5\x24\xba\xb5\x8d\x2f");

  for (const auto& [header, storable] : std::vector<std::pair<std::string, bool>>{
           {"H\r\nContent-Type: text/html\r\nX-Note: private\r\n\r\n", true},
           {"H\r\nset-cookie : id=1\r\n\r\n", false},
           {"H\r\nCache-Control: max-age=60, PRIVATE\r\n\r\n", false},
           {"H\r\ncache-control: max-age=60,\r\n  No-Store\r\n\r\n", false}})
    EXPECT_EQ(IsStorableResponse(header), storable) << header;

  const CacheEntryHeader image{kEntryComplete, 0, 1234, 10, 0};
  EXPECT_TRUE(ServableWithoutCheck(image, kServeUncheckedBelow - 1, "a.gif", "C/s/a.gif"));
  EXPECT_FALSE(ServableWithoutCheck(image, kServeUncheckedBelow, "a.gif", "C/s/a.gif"));
  for (const CacheEntryHeader& h :  // no validator; html
       {CacheEntryHeader{kEntryComplete, 0, 0, 10, 0},
        CacheEntryHeader{kEntryComplete, 0, 1, 10, 1}})
    EXPECT_FALSE(ServableWithoutCheck(h, 5, "a.gif", "C/s/a.gif")) << h.html;
  for (const std::string name : {"i.HTML", "x.sha", "noext", "cgi-bin+a.gif"})
    EXPECT_FALSE(ServableWithoutCheck(image, 5, name, "C/s/" + name)) << name;
}

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

// Over the size limit the oldest go until 2 MB and the slack are gone; with
// 1 % free and 3 % wanted, 3 % of the disk goes (the second round rewrites all).
TEST_F(PurgeTest, TheOldestGoUntilTheLimitsAreMet) {
  EXPECT_EQ(Round("10", "3%", 12, kMiB), 3 * kMiB);
  EXPECT_TRUE(Has("h2/f8") && !Has("h0/f9") && Left() == 9u);
  env_.SetDiskSize(1000000000);
  EXPECT_EQ(Round("0", "3%", 20, 2000000, 10000000), 30000000u);
  EXPECT_TRUE(Has("h1/f4") && !Has("h2/f5") && Left() == 5u);
  EXPECT_TRUE(ctx_.Has("Purge proxy cache. Free 3,145,728 bytes") &&
              ctx_.Has("Purge proxy cache. Free 30,000,000 bytes"));
}

// Among files of one day the largest goes first; reading counts as use.
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

// The purge runs after 15 s, then every half hour; the skip list empties
// every five minutes and holds no more than its cap meanwhile.
TEST_F(PurgeTest, TasksRunOnTheirPeriods) {
  SkipUrlList skip(2);
  TaskHandle task = skip.StartSkipUrlTask(ctx_.tasks);
  for (const std::string& path : {kPath, std::string("c/1"), std::string("c/2")}) skip.Add(path);
  EXPECT_TRUE(skip.Count() == 2 && !skip.Contains("c/2"));
  Put("h/a", 1000, 25 * kDay);
  purge_.StartPurgeTask();
  auto asleep = [&] { return testing::WaitUntil([&] { return env_.Sleepers() == 2; }); };
  ASSERT_TRUE(asleep());
  env_.Advance(kPurgeFirstWaitMs);
  ASSERT_TRUE(ctx_.WaitForLine("Purge proxy cache. Free 1,000 bytes") && asleep());
  env_.Advance(kSkipUrlPeriodMs - kPurgeFirstWaitMs - 1);
  std::this_thread::sleep_for(testing::Ms(20));
  EXPECT_TRUE(skip.Contains(kPath) && !skip.Contains("c/server/x.gif"));
  env_.Advance(1);
  EXPECT_TRUE(testing::WaitUntil([&] { return skip.Count() == 0; }) && asleep());
  Put("h/b", 2000, 25 * kDay);
  env_.Advance(kPurgeFirstWaitMs + kPurgePeriodMs - kSkipUrlPeriodMs - 1);
  std::this_thread::sleep_for(testing::Ms(20));
  EXPECT_TRUE(Has("h/b"));
  env_.Advance(1);
  EXPECT_TRUE(ctx_.WaitForLine("Purge proxy cache. Free 2,000 bytes"));
  Tasks::Stop(task);
}

}  // namespace
}  // namespace netrove
