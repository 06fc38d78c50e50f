// The proxy's own replies and log; the relay's parsers of request lines, headers and chunks.
#include "proxy/replies.h"

#include <gtest/gtest.h>

#include "lib/net_context.h"
#include "proxy/chunked.h"
#include "proxy/http_head.h"
#include "proxy/proxy_log.h"
#include "runtime/clock.h"

namespace netrove {
namespace {

using namespace netrove::testing;

constexpr int64_t kDec5 = 1796475899;  // Sat, 5 Dec 2026 13:04:59 (UTC or local)

class RepliesTest : public ::testing::Test {
 protected:
  // What the client gets from one sender.
  std::string Run(const std::function<void(SocketVar&)>& send) {
    auto [ours, peer] = ctx_.LoopbackPair();
    send(ours);
    EXPECT_FALSE(ours.is_open());
    return ReadAll(peer.handle(), 3000);
  }
  NetTestContext ctx_;
  ProxyReplies replies_{ctx_.env, DrainLimits{.silence_ms = 200, .max_ms = 1000}};
};

// Dates in UTC an hour or two east of it; a file in more than one block; a
// page's length (the texts of the proxy's pages show on real connections).
TEST_F(RepliesTest, DatesAreUtcAndFilesAndPagesGoWhole) {
  std::string saved = getenv("TZ") ? getenv("TZ") : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  EXPECT_EQ(UtcFromLocalSeconds(ctx_.env, kDec5 + 3600) +
                UtcFromLocalSeconds(ctx_.env, 1784000000 + 7200),
            kDec5 + 1784000000);
  const std::string file = std::string(1300, 'x') + "end";
  WriteFile("page.html", file);
  timespec times[2] = {{kDec5, 0}, {kDec5, 0}};
  EXPECT_EQ(utimensat(AT_FDCWD, "page.html", times, 0), 0);
  auto send_file = [&](const char* path) {
    return Run([&](SocketVar& s) { replies_.SendFileReply(s, "HTTP/1.0 200 OK\r\n", path); });
  };
  EXPECT_EQ(send_file("page.html"),
            "HTTP/1.0 200 OK\r\nLast-Modified: Sat, 5 Dec 2026 13:04:59 GMT\r\n"
            "Content-Length: 1303\r\n\r\n" +
                file);
  saved.empty() ? unsetenv("TZ") : setenv("TZ", saved.c_str(), 1);
  tzset();
  EXPECT_NE(send_file("none").find(kFileNotFoundMessage), std::string::npos);
  const std::string page = Run([&](SocketVar& s) { replies_.SendUnauthorized(s, "Mail"); });
  const std::string body = page.substr(page.find("\r\n\r\n") + 4);
  EXPECT_TRUE(page.starts_with(std::string(kUnauthorizedHeader) + " realm=\"Mail\"\r\n")) << page;
  EXPECT_TRUE(page.ends_with("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                             std::string(kUnauthorizedPageHead) + PageFooter()));
}

// The error-page drain ends at its byte bound (flood) or time bound (trickle).
TEST_F(RepliesTest, ErrorPageDrainIsBounded) {
  for (bool flood : {true, false}) {
    auto [ours, peer] = ctx_.LoopbackPair();
    std::jthread sender([&, fd = peer.handle()](std::stop_token stop) {
      std::string block(flood ? 4096 : 1, 'a');
      for (int i = 0; i < 2000 && !stop.stop_requested(); ++i) {
        (void)send(fd, block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        std::this_thread::sleep_for(Ms(flood ? 1 : 50));
      }
    });
    const int64_t took =
        MsTaken([&] { replies_.SendErrorPage(ours, kHostConnectionErrorMessage); });
    sender.request_stop();
    EXPECT_TRUE(flood ? took < 500 : took >= 900 && took < 1600) << took;
    EXPECT_NE(ReadAll(peer.handle(), 2000).find(kHostConnectionErrorMessage), std::string::npos);
  }
  // A client that half-closes after its request gets the page at once.
  auto [ours, peer] = ctx_.LoopbackPair();
  ASSERT_EQ(shutdown(peer.handle(), SHUT_WR), 0);
  EXPECT_LT(MsTaken([&] { replies_.SendErrorPage(ours, kHostConnectionErrorMessage); }), 500);
  EXPECT_NE(ReadAll(peer.handle(), 2000).find(kHostConnectionErrorMessage), std::string::npos);
}

TEST(ProxyLogTest, LinesAndAMissingDirectory) {
  NetTestContext ctx;
  ctx.real_env.SetLocalSeconds(kDec5 + 86400 * 30);
  ProxyLog log(ctx.env, ctx.config);
  ctx.config.Update([](ConfigRecord& r) { r.proxy_log = "nodir/proxy.log"; });
  EXPECT_FALSE(log.OpenProxyLog());
  log.WriteProxyLogLine(htonl(0x7f000001), "GET http://a/", "-");
  ctx.config.Update([](ConfigRecord& r) { r.proxy_log = "proxy.log"; });
  ASSERT_TRUE(log.OpenProxyLog());
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([&] {
      for (int i = 0; i < 50; ++i)
        log.WriteProxyLogLine(htonl(0x7f000001), "GET /a%20b+c%0d%0a", "U");
    });
  for (auto& w : writers) w.join();
  log.CloseProxyLog();
  log.WriteProxyLogLine(htonl(0x7f000001), "after close", "-");
  EXPECT_FALSE(std::filesystem::exists("nodir"));
  std::string want;
  for (int i = 0; i < 200; ++i) want += "127.0.0.1 - U [04/01/2027 13:04:59] \"GET /a b c??\"\n";
  EXPECT_TRUE(ctx.Read("proxy.log") == want) << ctx.Read("proxy.log").substr(0, 200);
}

// The stream fed in pieces of `step`: "done@<bytes taken>", "error" or "more".
std::string Frame(const std::string& stream, size_t step) {
  ChunkedFramer framer;
  for (size_t at = 0; at < stream.size(); at += step) {
    size_t n = std::min(step, stream.size() - at);
    auto r = framer.Feed(stream.data() + at, n);
    if (r != ChunkedFramer::Result::kMore)
      return r == ChunkedFramer::Result::kDone ? "done@" + std::to_string(at + n) : "error";
  }
  return "more";
}

// (The relay's tests show a plain GET, CONNECT and an FTP URL going their way.)
TEST(RelayParsingTest, RequestLinesHeadersAndChunkFraming) {
  const char* kinds[] = {"http", "ftp", "refused", "nothttp1"};
  for (auto [line, want] : std::vector<std::pair<std::string, std::string>>{
           {"HEAD http://h:8080 HTTP/1.0", "http h:8080 HEAD / HTTP/1.0"},
           {"POST HTTP://h?q=1 HTTP/1.0", "http h POST /?q=1 HTTP/1.0"},
           {"GET /local HTTP/1.0", "refused  "},
           {"GET http:///x HTTP/1.0", "refused  "},
           {"GET http://" + std::string(256, 'h') + "/ HTTP/1.0", "refused  "}}) {
    RelayRequestLine r = ParseRelayRequestLine(line);
    EXPECT_EQ(std::string(kinds[int(r.kind)]) + " " + r.host + " " + r.origin_line + r.url, want);
  }
  EXPECT_EQ(ParseContentLength(" 3000 "), 3000);
  for (const char* bad : {"", "-1", "12a", "2147483648"})
    EXPECT_FALSE(ParseContentLength(bad)) << bad;
  ResponseHeadFacts f, twice;
  for (const char* h : {"connection: Close", "TRANSFER-ENCODING: chunked", "Content-Length: x"})
    NoteResponseHeader(h, f);
  for (const char* h : {"Content-Length: 5", "Content-Length: 7"}) NoteResponseHeader(h, twice);
  EXPECT_TRUE(f.connection_close && f.chunked && f.bad_length && twice.has_length &&
              twice.bad_length);

  const std::string zero_inside = "a\r\n\r\n0\r\n\r\nxyz\r\n0\r\n\r\n";
  for (size_t step : {1, 3, 1000}) EXPECT_EQ(Frame(zero_inside, step), "done@20") << step;
  EXPECT_EQ(Frame("3;x=1\r\nabc\r\n0\r\nExpires: 0\r\n\r\njunk", 1), "done@29");
  EXPECT_EQ(Frame("5\r\nabc", 1) + Frame("7fffffff\r\n", 1), "moremore");
  for (const char* bad :
       {"ffffffffffff\r\n", "80000000\r\n", "00000000000000001\r\n", "\r\n", "x\r\n", "3\r\nabcX"})
    EXPECT_EQ(Frame(bad, 1), "error") << bad;
}

}  // namespace
}  // namespace netrove
