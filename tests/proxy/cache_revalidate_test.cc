// RevalidateEntry against a loopback origin standing in for the upstream.
#include "proxy/cache_revalidate.h"

#include <gtest/gtest.h>

#include "lib/net_context.h"
#include "lib/proxy_cache.h"

namespace netrove {
namespace {

using testing::ResponseHeader;
using testing::TcpOrigin;
using testing::WriteEntry;

const std::string kPath = "ProxyCache/server/img+logo.gif";
const std::string kDate = "Wed, 01 Jan 2025 00:00:00 GMT";

class RevalidateTest : public ::testing::Test {
 protected:
  // Revalidates kPath through an origin answering `reply`.
  bool Revalidate(TcpOrigin& origin) {
    return RevalidateEntry(ctx_.env, kPath, Opener(origin.host()), net_bytes_);
  }
  UpstreamOpener Opener(const std::string& host) {
    return [this, host](const std::string&) { return ctx_.net.connector().Connect(host, 80); };
  }
  bool EntryExists() { return FileExists(ctx_.env, kPath); }

  testing::NetTestContext ctx_;
  std::atomic<uint32_t> net_bytes_{0};
};

TEST_F(RevalidateTest, SameValidatorIsCurrentAndAskedWithHeadOfTheStoredRequest) {
  ASSERT_TRUE(WriteEntry(ctx_.env, kPath, ResponseHeader(kDate, 5), "hello"));
  // Header lines arrive in another order and case; the body of a HEAD is never read.
  const std::string answer =
      "HTTP/1.0 200 OK\r\ncontent-length: 5\r\nServer: o\r\nLAST-MODIFIED: " + kDate + "\r\n\r\n";
  TcpOrigin origin(answer + "stray");
  EXPECT_TRUE(Revalidate(origin));
  EXPECT_EQ(origin.last_request(),
            "HEAD http://server/img/logo.gif HTTP/1.0\r\nHost: server\r\nCookie: id=7\r\n\r\n");
  EXPECT_EQ(net_bytes_.load(), answer.size());
  EXPECT_TRUE(EntryExists());
}

TEST_F(RevalidateTest, ChangedLastModifiedDeletesTheEntry) {
  ASSERT_TRUE(WriteEntry(ctx_.env, kPath, ResponseHeader(kDate, 5), "hello"));
  TcpOrigin origin(ResponseHeader("Thu, 02 Jan 2025 00:00:00 GMT", 5));
  EXPECT_FALSE(Revalidate(origin));
  EXPECT_FALSE(EntryExists());
}

TEST_F(RevalidateTest, OtherStatusesLeaveTheEntryCurrent) {
  ASSERT_TRUE(WriteEntry(ctx_.env, kPath, ResponseHeader(kDate, 5), "hello"));
  TcpOrigin origin("HTTP/1.0 304 Not Modified\r\n\r\n");
  EXPECT_TRUE(Revalidate(origin));
  EXPECT_TRUE(EntryExists());
}

// An entry stored without Last-Modified and Content-Length has validator 0:
// a HEAD answer without them would "match" it, so it is never confirmed.
TEST_F(RevalidateTest, EntryWithoutValidatorIsNeverCurrent) {
  ASSERT_TRUE(WriteEntry(ctx_.env, kPath, ResponseHeader("", 0), "hello"));
  TcpOrigin origin(ResponseHeader("", 0));
  EXPECT_FALSE(Revalidate(origin));
  EXPECT_EQ(origin.served(), 0);
}

TEST_F(RevalidateTest, OversizedOrDamagedStoredRequestsAreNotCurrent) {
  TcpOrigin origin(ResponseHeader(kDate, 5));
  std::string big = "GET http://server/x HTTP/1.0\r\nX: " + std::string(kMaxStoredRequest, 'x');
  ASSERT_TRUE(WriteEntry(ctx_.env, kPath, ResponseHeader(kDate, 5), "hello", big + "\r\n\r\n"));
  EXPECT_FALSE(Revalidate(origin));
  // A request length beyond the file's end.
  CacheEntryHeader header{kEntryComplete, 0, *ComputeValidator(ResponseHeader(kDate, 5)), 1000, 0};
  testing::WriteFile(kPath, EncodeEntryHeader(header) + "GET http://server/x HTTP/1.0\r\n\r\n");
  EXPECT_FALSE(Revalidate(origin));
  EXPECT_EQ(origin.served(), 0);
}

TEST_F(RevalidateTest, NoUpstreamOrBrokenAnswersAreNotCurrent) {
  ASSERT_TRUE(WriteEntry(ctx_.env, kPath, ResponseHeader(kDate, 5), "hello"));
  EXPECT_FALSE(RevalidateEntry(
      ctx_.env, kPath, [](const std::string&) { return SocketVar(); }, net_bytes_));
  {
    TcpOrigin cut("HTTP/1.0 200 OK\r\nLast-Modified: " + kDate + "\r\n");
    EXPECT_FALSE(Revalidate(cut));
  }
  std::string endless = "HTTP/1.0 200 OK\r\n";
  while (endless.size() <= kMaxRevalidationHeader)
    endless += "X-Pad: " + std::string(900, 'p') + "\r\n";
  TcpOrigin flood(endless + "\r\n");
  EXPECT_FALSE(Revalidate(flood));
  EXPECT_TRUE(EntryExists());
}

}  // namespace
}  // namespace netrove
