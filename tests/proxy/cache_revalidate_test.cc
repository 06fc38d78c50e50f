// RevalidateEntry against a loopback origin standing in for the upstream.
#include "proxy/cache_revalidate.h"

#include <gtest/gtest.h>

#include "lib/net_context.h"
#include "lib/proxy_cache.h"

namespace netrove {
namespace {

using testing::ResponseHeader;

const std::string kPath = "C/server/img+logo.gif", kDate = "Wed, 01 Jan 2025 00:00:00 GMT";

class RevalidateTest : public ::testing::Test {
 protected:
  // Revalidates kPath through an origin that answers `reply`.
  bool Revalidate(const std::string& reply) {
    testing::TcpOrigin origin(reply);
    auto open = [&](const std::string& path) {
      ++opens_;
      return path == kPath ? ctx_.net.connector().Connect(origin.host(), 80) : SocketVar();
    };
    bool current = RevalidateEntry(ctx_.env, kPath, open, net_bytes_);
    last_request_ = origin.last_request();
    return current;
  }
  testing::NetTestContext ctx_;
  std::atomic<uint32_t> net_bytes_{0};
  std::string last_request_;
  int opens_ = 0;
};

TEST_F(RevalidateTest, HeadOfTheStoredRequestConfirmsOrDeletesTheEntry) {
  ASSERT_TRUE(testing::WriteEntry(ctx_.env, kPath, ResponseHeader(kDate, 5), "hello"));
  // Lines in another order and case; what follows the empty line is not read.
  const std::string same =
      "HTTP/1.0 200 OK\r\ncontent-length: 5\r\nLAST-MODIFIED: " + kDate + "\r\n\r\n";
  EXPECT_TRUE(Revalidate(same + "body"));
  EXPECT_EQ(last_request_,
            "HEAD http://server/img/logo.gif HTTP/1.0\r\nHost: server\r\nCookie: id=7\r\n\r\n");
  EXPECT_EQ(net_bytes_.load(), same.size());
  EXPECT_TRUE(Revalidate("HTTP/1.0 304 Not Modified\r\n\r\n"));
  // Answers that end or flood before their empty line, or no upstream at all.
  EXPECT_FALSE(Revalidate("HTTP/1.0 200 OK\r\nLast-Modified: " + kDate + "\r\n"));
  std::string flood = "HTTP/1.0 200 OK\r\n";
  while (flood.size() <= kMaxRevalidationHeader) flood += "X: " + std::string(900, 'p') + "\r\n";
  EXPECT_FALSE(Revalidate(flood + "\r\n"));
  EXPECT_FALSE(RevalidateEntry(
      ctx_.env, kPath, [](const std::string&) { return SocketVar(); }, net_bytes_));
  EXPECT_TRUE(FileExists(ctx_.env, kPath));
  EXPECT_FALSE(Revalidate(ResponseHeader("Thu, 02 Jan 2025 00:00:00 GMT", 5)));
  EXPECT_FALSE(FileExists(ctx_.env, kPath));
}

// Validator 0 (no Last-Modified, no Content-Length) would match any such
// answer: the entry is never confirmed. Stored requests that do not fit
// the buffer or the file are not sent.
TEST_F(RevalidateTest, UnconfirmableEntriesAreNeverCurrent) {
  const std::string big = "GET http://s/ HTTP/1.0\r\nX: " + std::string(kMaxStoredRequest, 'x');
  const uint32_t validator = *ComputeValidator(ResponseHeader(kDate, 5));
  const std::string beyond_file =
      EncodeEntryHeader({kEntryComplete, 0, validator, 1000, 0}) + "GET http://s/ HTTP/1.0\r\n\r\n";
  for (int i = 0; i < 3; ++i) {
    const bool written =
        i == 0   ? testing::WriteEntry(ctx_.env, kPath, ResponseHeader("", 0), "x")
        : i == 1 ? testing::WriteEntry(ctx_.env, kPath, ResponseHeader(kDate, 5), "hello", big)
                 : (testing::WriteFile(kPath, beyond_file), true);
    ASSERT_TRUE(written);
    EXPECT_FALSE(Revalidate(ResponseHeader(i == 0 ? "" : kDate, i == 0 ? 0 : 5))) << i;
    EXPECT_EQ(opens_, 0) << i;
  }
}

}  // namespace
}  // namespace netrove
