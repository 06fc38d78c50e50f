// The front proxy's request handling without sockets: request lines, the
// header rules, the head sent upstream and the cache and filter names.
#include "proxy/proxy_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace netrove {
namespace {

using Kind = ProxyRequestLine::Kind;
using State = ProxyHeadRewriter::State;

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

struct LineCase {
  std::string line;
  Kind kind;
  std::string log_text;  // for kProxy
  bool no_store = false, is_ftp = false;
};

TEST(ProxyRequestTest, RequestLines) {
  const std::string h = " HTTP/1.0";
  for (const LineCase& c : std::vector<LineCase>{
           {"GET http://a/b" + h, Kind::kProxy, "GET http://a/b"},
           {"get  http://a/b   HTTP/1.1  ", Kind::kProxy, "get http://a/b"},
           {"HEAD http://a/" + h, Kind::kProxy, "HEAD http://a/"},
           {"POST http://a/form" + h, Kind::kProxy, "POST http://a/form", true},
           {"CONNECT a:443" + h, Kind::kProxy, "CONNECT a:443"},
           {"GET ftp://f/x" + h, Kind::kProxy, "GET ftp://f/x", false, true},
           {"HEAD ftp://f/x" + h, Kind::kProxy, "HEAD ftp://f/x"},
           {"GET http://u:pw@a/p@q" + h, Kind::kProxy, "GET http://a/p@q"},
           {"GET http://u@x:pw@a:81/" + h, Kind::kProxy, "GET http://a:81/"},
           {"CONNECT u:pw@a:443" + h, Kind::kProxy, "CONNECT a:443"},
           {"GET /index.html" + h, Kind::kLocalPage, ""},
           {"POST /login", Kind::kLocalPage, ""},
           {"DELETE http://a/b" + h, Kind::kClose, ""},
           {"GETX http://a/b" + h, Kind::kClose, ""},
           {"CONNECT", Kind::kClose, ""},
           {"GET http://a/b HTTP/2", Kind::kClose, ""},
           {"CONNECT a:443", Kind::kClose, ""},
           {"GET http://a/b\r" + h, Kind::kClose, ""},
           {"GET http://a/" + std::string(kMaxRequestHead, 'x') + h, Kind::kClose, ""},
       }) {
    ProxyRequestLine r = ParseProxyRequestLine(c.line);
    EXPECT_EQ(r.kind, c.kind) << c.line;
    if (c.kind != Kind::kProxy) continue;
    EXPECT_EQ(r.log_text, c.log_text) << c.line;
    EXPECT_EQ(r.no_store, c.no_store) << c.line;
    EXPECT_EQ(r.is_ftp, c.is_ftp) << c.line;
  }
  ProxyRequestLine local = ParseProxyRequestLine("  GET  /  HTTP/1.0 ");
  EXPECT_EQ(local.line, "GET / HTTP/1.0");
}

struct HeaderCase {
  std::string line;
  std::string forwarded;  // what reaches the head, "" for nothing
  bool no_store = false, is_private = false;
};

TEST(ProxyRequestTest, HeaderRules) {
  const std::string ua(kProxyUserAgent);
  for (const HeaderCase& c : std::vector<HeaderCase>{
           {"Accept: */*", "Accept: */*"},
           {"Range: bytes=0-", ""},
           {"RANGE: BYTES=0-", ""},
           {"Range: bytes=0-99", "Range: bytes=0-99"},
           {"Range: bytes=100-", "Range: bytes=100-"},
           {"If-Modified-Since: Mon, 07 Dec 2026 10:00:00 GMT", ""},
           {"if-none-match: \"x\"", ""},
           {"Host: elsewhere", ""},
           {"Hostile: yes", "Hostile: yes"},
           {"User-Agent: curl/8", ua},
           {"user-agent:", ua},
           {"Authorization: Basic eDp5", "Authorization: Basic eDp5", true, true},
           {"Cookie: id=1", "Cookie: id=1", true, true},
           {"Cookies: none", "Cookies: none"},
           {"Proxy-Authorization: Basic eDp5", ""},
           {"X-Authorization: 1", "X-Authorization: 1"},
       }) {
    ProxyRequestLine line = ParseProxyRequestLine("GET http://a/b.gif HTTP/1.0");
    ProxyHeadRewriter head(line);
    EXPECT_EQ(head.AddLine(c.line), State::kMore) << c.line;
    EXPECT_EQ(head.AddLine(""), State::kComplete) << c.line;
    std::string want = "GET http://a/b.gif HTTP/1.0\r\n";
    if (!c.forwarded.empty()) want += c.forwarded + "\r\n";
    EXPECT_EQ(head.text(), want + "\r\n") << c.line;
    EXPECT_EQ(head.no_store(), c.no_store) << c.line;
    EXPECT_EQ(head.is_private(), c.is_private) << c.line;
  }
}

TEST(ProxyRequestTest, CredentialsKeptAsideAndCut) {
  ProxyHeadRewriter head(ParseProxyRequestLine("GET http://a/ HTTP/1.0"));
  head.AddLine("proxy-authorization: Basic " + std::string(300, 'z'));
  EXPECT_EQ(head.credentials().size(), kMaxRequestField);
  EXPECT_TRUE(head.credentials().starts_with("proxy-authorization: Basic zz"));
  EXPECT_EQ(head.text().find("zzz"), std::string::npos);
}

TEST(ProxyRequestTest, HeadCapAndLineEnds) {
  const std::string request = "GET http://a/ HTTP/1.0";  // 24 characters with CR LF
  const std::string fill = "X: " + std::string(kMaxRequestHead - 24 - 2 - 2 - 3, 'y');
  struct Case {
    std::vector<std::string> lines;
    State state;
  };
  for (const Case& c : std::vector<Case>{
           // Exactly the cap with the empty line; one more character is too much.
           {{fill}, State::kComplete},
           {{fill + "y"}, State::kEnded},
           // Dropped lines do not count.
           {{fill, "If-Match: " + std::string(500, 'z')}, State::kComplete},
           {{"A: 1\rB: 2"}, State::kEnded},
           {{"A: 1\nB: 2"}, State::kEnded},
       }) {
    ProxyHeadRewriter head(ParseProxyRequestLine(request));
    for (const std::string& l : c.lines) head.AddLine(l);
    EXPECT_EQ(head.AddLine(""), c.state) << c.lines[0].size();
    EXPECT_LE(head.text().size(), kMaxRequestHead);
    // Nothing is taken once the head has ended.
    std::string before = head.text();
    head.AddLine("Late: 1");
    EXPECT_EQ(head.text(), before);
  }
  // A head that never got its empty line is not finished.
  ProxyRequestLine line = ParseProxyRequestLine(request);
  ProxyHeadRewriter open(line);
  open.AddLine("A: 1");
  EXPECT_FALSE(FinishProxyRequest(line, open, "", "cache/"));
}

TEST(ProxyRequestTest, InsertedLinesStandFirst) {
  struct Case {
    std::string line, auth, head;
  };
  for (const Case& c : std::vector<Case>{
           {"GET http://u:p@a:81/x HTTP/1.0", "",
            "GET http://u:p@a:81/x HTTP/1.0\r\nHost: u:p@a:81\r\nAccept: *\r\n\r\n"},
           {"GET http://a/x HTTP/1.0", "Basic dXA=",
            "GET http://a/x HTTP/1.0\r\nHost: a\r\nProxy-Authorization: Basic dXA=\r\n"
            "Accept: *\r\n\r\n"},
           {"GET http://a HTTP/1.0", "bad\r\nX: 1",
            "GET http://a HTTP/1.0\r\nHost: a\r\nAccept: *\r\n\r\n"},
           {"CONNECT a.b:443 HTTP/1.1", "",
            "CONNECT a.b:443 HTTP/1.1\r\nHost: a.b:443\r\nAccept: *\r\n\r\n"},
       }) {
    auto r = Finished(c.line, {"Proxy-Authorization: Basic Y2xpZW50", "Host: other", "Accept: *"},
                      c.auth);
    ASSERT_TRUE(r) << c.line;
    EXPECT_EQ(r->text, c.head) << c.line;
    EXPECT_EQ(r->credentials, "Proxy-Authorization: Basic Y2xpZW50");
  }
}

struct NameCase {
  std::string line;
  std::vector<std::string> headers;
  std::string cache_path, file_name, url;
  bool no_store = false, is_private = false;
};

TEST(ProxyRequestTest, CacheNamesAndFlags) {
  const std::string nc(kNotCacheableName), h = " HTTP/1.0";
  for (const NameCase& c : std::vector<NameCase>{
           {"GET http://s/img/logo.gif" + h,
            {},
            "cache/s/img+logo.gif",
            "img+logo.gif",
            "http://s/img/logo.gif"},
           {"GET http://s:8080/" + h, {}, "cache/s...8080/+", "+", "http://s:8080/"},
           {"GET ftp://f/pub/x.zip" + h,
            {},
            "cache/FTP/f/pub+x.zip",
            "pub+x.zip",
            "ftp://f/pub/x.zip"},
           {"GET http://s/q?a=1|2" + h,
            {},
            "cache/s/q!a=1!2",
            "q!a=1!2",
            "http://s/q?a=1|2",
            false,
            true},
           {"GET http://s/cgi-bin/x" + h,
            {},
            "cache/s/cgi-bin+x",
            "cgi-bin+x",
            "http://s/cgi-bin/x",
            false,
            true},
           {"GET http://s/CGI/x" + h, {}, "cache/s/CGI+x", "CGI+x", "http://s/CGI/x"},
           {"GET http://s/a.gif" + h,
            {"Cookie: c=1"},
            "cache/s/a.gif",
            "a.gif",
            "http://s/a.gif",
            true,
            true},
           {"POST http://s/form" + h, {}, nc, nc, "http://s/form", true, true},
           {"CONNECT s:443" + h, {}, nc, nc, "s:443", true, true},
           {"GET http://s/" + std::string(300, 'p') + h,
            {},
            nc,
            nc,
            "http://s/" + std::string(255 - 9, 'p'),
            true,
            true},
           {"GET http://s/../x" + h, {}, "cache/s/..+x", "..+x", "http://s/../x"},
       }) {
    auto r = Finished(c.line, c.headers);
    ASSERT_TRUE(r) << c.line;
    EXPECT_EQ(r->cache_path, c.cache_path) << c.line;
    EXPECT_EQ(r->file_name, c.file_name) << c.line;
    EXPECT_EQ(r->url, c.url) << c.line;
    EXPECT_EQ(r->no_store, c.no_store) << c.line;
    EXPECT_EQ(r->is_private, c.is_private) << c.line;
    EXPECT_EQ(r->cacheable(), c.cache_path != nc) << c.line;
  }
  // A target without "//" maps to no file name: the connection ends.
  EXPECT_FALSE(Finished("GET x HTTP/1.0 ://", {}));
}

}  // namespace
}  // namespace netrove
