// The front proxy's request handling without sockets: request lines, the
// header rules, the head sent upstream and the cache and filter names.
#include "proxy/proxy_request.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace netrove {
namespace {

using Kind = ProxyRequestLine::Kind;
using State = ProxyHeadRewriter::State;
const std::string kV = " HTTP/1.0", kNc(kNotCacheableName);

// The head of `request_line` with `headers` and the empty line, finished
// with `auth` below "cache/"; nullopt when anything ends the request.
std::optional<ProxyRequest> Finished(const std::string& request_line,
                                     const std::vector<std::string>& headers,
                                     const std::string& auth = "") {
  ProxyRequestLine line = ParseProxyRequestLine(request_line);
  ProxyHeadRewriter head(line);
  for (const std::string& h : headers) head.AddLine(h);
  head.AddLine("");
  return FinishProxyRequest(line, head, auth, "cache/");
}

// clang-format off
TEST(ProxyRequestTest, RequestLines) {
  // Line, kind, log text ("" unless kProxy), NoStore, IsFtp.
  for (auto [text, kind, log, no_store, ftp] : std::vector<std::tuple<std::string, Kind, std::string, bool, bool>>{
           {"get  http://a/b   HTTP/1.1  ", Kind::kProxy, "get http://a/b", false, false},
           {"HEAD http://a/" + kV, Kind::kProxy, "HEAD http://a/", true, false},
           {"POST http://a/form" + kV, Kind::kProxy, "POST http://a/form", true, false},
           {"CONNECT a:443" + kV, Kind::kProxy, "CONNECT a:443", false, false},
           {"GET ftp://f/x" + kV, Kind::kProxy, "GET ftp://f/x", false, true},
           {"HEAD ftp://f/x" + kV, Kind::kProxy, "HEAD ftp://f/x", true, false},
           {"GET http://u:pw@a/p@q" + kV, Kind::kProxy, "GET http://a/p@q", false, false},
           {"GET http://u@x:pw@a:81/" + kV, Kind::kProxy, "GET http://a:81/", false, false},
           {"CONNECT u:pw@a:443" + kV, Kind::kProxy, "CONNECT a:443", false, false},
           {"GET /index.html" + kV, Kind::kLocalPage, "", false, false},
           {"POST /login", Kind::kLocalPage, "", false, false}}) {
    ProxyRequestLine r = ParseProxyRequestLine(text);
    EXPECT_EQ(r.kind, kind) << text;
    EXPECT_EQ(std::tie(r.log_text, r.no_store, r.is_ftp), std::tie(log, no_store, ftp)) << text;
  }
  for (const std::string& closed : std::vector<std::string>{"DELETE http://a/b" + kV, "GETX http://a/b" + kV,
           "GET http://a/b HTTP/2", "CONNECT a:443", "GET http://a/b\r" + kV, "GET http://a/" + std::string(kMaxRequestHead, 'x') + kV})
    EXPECT_EQ(ParseProxyRequestLine(closed).kind, Kind::kClose) << closed;
  EXPECT_EQ(ParseProxyRequestLine("  GET  /  HTTP/1.0 ").line, "GET / HTTP/1.0");
}

TEST(ProxyRequestTest, HeaderRules) {
  const std::string ua(kProxyUserAgent);
  // Client line, what is forwarded ("" for nothing), NoStore and Private.
  for (auto [line, forwarded, no_store] : std::vector<std::tuple<std::string, std::string, bool>>{
           {"Accept: */*", "Accept: */*", false},            {"Range: bytes=0-", "", false},
           {"RANGE: BYTES=0-", "", false},                     {"Range: bytes=100-", "Range: bytes=100-", false},
           {"Range: bytes=0-99", "Range: bytes=0-99", false}, {"If-Modified-Since: x", "", false},
           {"if-none-match: \"x\"", "", false},                {"Host: elsewhere", "", false},
           {"Hostile: yes", "Hostile: yes", false},            {"User-Agent: curl/8", ua, false},
           {"user-agent:", ua, false},                         {"Authorization: Basic eDp5", "Authorization: Basic eDp5", true},
           {"Cookie: id=1", "Cookie: id=1", true},             {"Cookies: none", "Cookies: none", false},
           {"Proxy-Authorization: Basic eDp5", "", false},     {"X-Authorization: 1", "X-Authorization: 1", false}}) {
    ProxyHeadRewriter head(ParseProxyRequestLine("GET http://a/b.gif HTTP/1.0"));
    EXPECT_EQ(head.AddLine(line), State::kMore) << line;
    EXPECT_EQ(head.AddLine(""), State::kComplete) << line;
    const std::string want = "GET http://a/b.gif HTTP/1.0\r\n" + (forwarded.empty() ? "" : forwarded + "\r\n");
    EXPECT_EQ(head.text(), want + "\r\n") << line;
    EXPECT_EQ(head.no_store(), no_store) << line;
    EXPECT_EQ(head.is_private(), no_store) << line;
  }
}
// clang-format on

TEST(ProxyRequestTest, HeadCapAndLineEnds) {
  // The request line takes 24 characters, the empty line 2: `fill` makes the cap exactly.
  const std::string fill = "X: " + std::string(kMaxRequestHead - 24 - 2 - 2 - 3, 'y');
  for (auto [lines, state] : std::vector<std::pair<std::vector<std::string>, State>>{
           {{fill}, State::kComplete},
           {{fill + "y"}, State::kEnded},
           {{fill, "If-Match: " + std::string(500, 'z')},
            State::kComplete},  // dropped: not counted
           {{"A: 1\rB: 2"}, State::kEnded},
           {{"A: 1\nB: 2"}, State::kEnded}}) {
    ProxyRequestLine line = ParseProxyRequestLine("GET http://a/ HTTP/1.0");
    ProxyHeadRewriter head(line);
    for (const std::string& l : lines) head.AddLine(l);
    EXPECT_EQ(head.AddLine(""), state) << lines[0].size();
    EXPECT_LE(head.text().size(), kMaxRequestHead);
    const std::string before = head.text();
    EXPECT_EQ(head.AddLine("Late: 1"), state);
    EXPECT_EQ(head.text(), before);  // nothing is taken once the head has ended
    EXPECT_EQ(FinishProxyRequest(line, head, "", "cache/").has_value(), state == State::kComplete);
  }
}

// clang-format off
TEST(ProxyRequestTest, InsertedLinesStandFirst) {
  const std::string tail = "Accept: *\r\n\r\n";
  for (auto [line, auth, head] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"GET http://u:p@a:81/x" + kV, "", "GET http://u:p@a:81/x" + kV + "\r\nHost: a:81\r\n"},
           {"GET http://a/x" + kV, "Basic dXA=", "GET http://a/x" + kV + "\r\nHost: a\r\nProxy-Authorization: Basic dXA=\r\n"},
           {"GET http://a" + kV, "bad\r\nX: 1", "GET http://a" + kV + "\r\nHost: a\r\n"},
           {"CONNECT a.b:443" + kV, "", "CONNECT a.b:443" + kV + "\r\nHost: a.b:443\r\n"}}) {
    auto r = Finished(line, {"Proxy-Authorization: Basic Y2xpZW50", "Host: other", "Accept: *"}, auth);
    ASSERT_TRUE(r) << line;
    EXPECT_EQ(r->text, head + tail) << line;
    EXPECT_EQ(r->credentials, "Proxy-Authorization: Basic Y2xpZW50");
  }
  const std::string long_credentials = "proxy-authorization: Basic " + std::string(300, 'z');
  auto r = Finished("GET http://a/" + kV, {long_credentials});  // kept aside, cut
  EXPECT_TRUE(r && r->credentials == long_credentials.substr(0, kMaxRequestField) && r->text.find("zzz") == r->text.npos);
}

TEST(ProxyRequestTest, CacheNamesAndFlags) {
  // Target, a header, cache path, file name for the filter, NoStore, Private.
  for (auto [target, header, path, file, no_store, is_private] : std::vector<std::tuple<std::string, std::string, std::string, std::string, bool, bool>>{
           {"http://s/img/logo.gif", "", "cache/s/img+logo.gif", "img+logo.gif", false, false},
           {"http://s:8080/", "", "cache/s...8080/+", "+", false, false},
           {"ftp://f/pub/x.zip", "", "cache/FTP/f/pub+x.zip", "pub+x.zip", false, false},
           {"http://s/q?a=1|2", "", "cache/s/q!a=1!2", "q!a=1!2", false, true},
           {"http://s/cgi-bin/x", "", "cache/s/cgi-bin+x", "cgi-bin+x", false, true},
           {"http://s/CGI/x", "", "cache/s/CGI+x", "CGI+x", false, false},
           {"http://s/a.gif", "Cookie: c=1", "cache/s/a.gif", "a.gif", true, true},
           {"http://s/" + std::string(300, 'p'), "", kNc, kNc, true, true}}) {
    const std::string method = "GET ";
    auto r = Finished(method + target + kV, {header});
    ASSERT_TRUE(r) << target;
    EXPECT_EQ(std::tie(r->cache_path, r->file_name, r->no_store, r->is_private),
              std::tie(path, file, no_store, is_private)) << target;
    EXPECT_EQ(r->url, target.substr(0, kMaxRequestField)) << target;
    EXPECT_EQ(r->cacheable(), path != kNc) << target;
  }
  EXPECT_FALSE(Finished("GET x HTTP/1.0 ://", {}));  // no file name: the connection ends
}
// clang-format on

}  // namespace
}  // namespace netrove
