// Request texts to cache names and paths; the codecs; what may be stored
// and served unchecked.
#include "proxy/cache_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proxy/cache_codec.h"
#include "proxy/cache_policy.h"

namespace netrove {
namespace {

struct NameCase {
  std::string request;
  std::string host_dir, file_name;
};

TEST(CacheName, RequestsMapToHostDirectoryAndFlattenedName) {
  const std::string end = " HTTP/1.0\r\nHost: x\r\n\r\n";
  const std::string none(kNotCacheableName);
  const std::vector<NameCase> cases = {
      {"GET http://server/img/logo.gif" + end, "server", "img+logo.gif"},
      {"GET http://server:8080/" + end, "server...8080", "+"},
      {"HEAD http://user@server:81/" + end, "server...81", "+"},
      {"get http://server/x/y.gif?1" + end, "server", "x+y.gif?1"},
      // An escaped "/" is a "/"; a "+" is a space, as in a query.
      {"GET http://server/a%2Fb.gif" + end, "server", "a+b.gif"},
      {"GET http://server/a+b%20c" + end, "server", "a b c"},
      {"GET http:\\\\server\\dir\\f.txt" + end, "server", "dir+f.txt"},
      {"GET ftp://host/pub/file.zip" + end, "host", "pub+file.zip"},
      {"GET http://server" + end, "server", "+"},
      {"POST http://server/form.cgi" + end, "server", "*form.cgi"},
      {"CONNECT server:443" + end, "server...443", "*+"},
      {"DELETE http://server/x" + end, none, none},
      {"PUT http://server/x" + end, none, none},
      // No "//" in a GET target, or no line end: no name at all.
      {"GET /index.html" + end, "", ""},
      {"GET http://server/x HTTP/1.0", "", ""},
  };
  for (const NameCase& c : cases) {
    CacheName got = CacheNameFromRequest(c.request);
    EXPECT_EQ(got.file_name, c.file_name) << c.request;
    if (!c.file_name.empty()) {
      EXPECT_EQ(got.host_dir, c.host_dir) << c.request;
    }
  }
}

TEST(CacheName, PathsReplaceQueryCharactersAndRefuseUnsafeOrLongNames) {
  const std::string dir = "ProxyCache/";
  auto path = [&](const std::string& url, bool ftp = false) {
    return CachePathFor(dir, CacheNameFromRequest("GET " + url + " HTTP/1.0\r\n\r\n"), ftp)
        .value_or("<none>");
  };
  EXPECT_EQ(path("http://server/x/y.gif?1"), "ProxyCache/server/x+y.gif!1");
  EXPECT_EQ(path("http://server/x/y.gif?2"), "ProxyCache/server/x+y.gif!2");
  EXPECT_EQ(path("http://server/a|b*c:d"), "ProxyCache/server/a!b!c!d");
  EXPECT_EQ(path("ftp://host/pub/f.zip", true), "ProxyCache/FTP/host/pub+f.zip");
  EXPECT_EQ(path("http://user@server:81/"), "ProxyCache/server...81/+");
  // Names that would leave the cache directory or be no file at all.
  for (const std::string url :
       {"http:///x", "http://../x", "http://./x", "http://%2e%2e/x", "http://server/..",
        "http://server/%2e%2e", "http://@/x", "http://ser%00ver/x", "http://server/a%00b"})
    EXPECT_EQ(path(url), "<none>") << url;
  EXPECT_FALSE(
      CachePathFor(dir, {std::string(kNotCacheableName), std::string(kNotCacheableName)}, false));
  EXPECT_FALSE(CachePathFor(dir, {"server", "*form.cgi"}, false));
  // Cutting a long path would make two URLs share a file: it is not cacheable.
  const std::string fits(kMaxCachePath - dir.size() - 7, 'a');
  EXPECT_EQ(path("http://server/" + fits).size(), kMaxCachePath);
  EXPECT_EQ(path("http://server/" + fits + "b"), "<none>");
}

TEST(CacheCodec, Crc32AndValidatorOfLastModifiedThenContentLength) {
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32("6789", Crc32("12345")), 0xCBF43926u);
  const std::string date = "Wed, 01 Jan 2025 00:00:00 GMT";
  // The Last-Modified piece comes first whatever the order of the lines;
  // names and values compare upper-cased, CR included.
  const uint32_t want = 0xBCE16E6Au;
  EXPECT_EQ(ComputeValidator("HTTP/1.0 200 OK\r\nContent-Length: 5\r\nLast-Modified: " + date +
                             "\r\n\r\n"),
            want);
  EXPECT_EQ(ComputeValidator("HTTP/1.0 200 OK\r\nlast-modified: wed, 01 jan 2025 00:00:00 "
                             "gmt\r\ncontent-length: 5\r\n\r\n"),
            want);
  EXPECT_NE(ComputeValidator("HTTP/1.0 200 OK\r\nContent-Length: 6\r\nLast-Modified: " + date +
                             "\r\n\r\n"),
            want);
  EXPECT_EQ(ComputeValidator("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n"),
            Crc32("CONTENT-LENGTH: 5\r"));
  EXPECT_EQ(ComputeValidator("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n"), std::nullopt);
  // A header name at the start of the text (no LF before it) is no header line.
  EXPECT_EQ(ComputeValidator("Content-Length: 5\r\n"), std::nullopt);
}

TEST(CacheCodec, ScramblerHidesTextAndRoundTrips) {
  std::string text = "Cookie: id=7";
  ScrambleBytes(text.data(), text.size());
  EXPECT_EQ(text, "\xd5\x44\xbc\x85\x32\x69\xe5\x24\xba\xb5\x8d\x2f");
  UnscrambleBytes(text.data(), text.size());
  EXPECT_EQ(text, "Cookie: id=7");

  std::string all;
  for (int i = 0; i < 1024; ++i) all += static_cast<char>(i * 7 % 256);
  std::string copy = all;
  ScrambleBytes(copy.data(), copy.size());
  EXPECT_NE(copy, all);
  UnscrambleBytes(copy.data(), copy.size());
  EXPECT_EQ(copy, all);
}

TEST(CachePolicy, PrivateResponsesAreNeverStored) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n", true},
      {"HTTP/1.0 200 OK\r\nSet-Cookie: id=1\r\n\r\n", false},
      {"HTTP/1.0 200 OK\r\nset-cookie : id=1\r\n\r\n", false},
      {"HTTP/1.0 200 OK\r\nCache-Control: max-age=60, PRIVATE\r\n\r\n", false},
      {"HTTP/1.0 200 OK\r\ncache-control: No-Store\r\n\r\n", false},
      {"HTTP/1.0 200 OK\r\nCache-Control: max-age=60,\r\n  private\r\n\r\n", false},
      {"HTTP/1.0 200 OK\r\nCache-Control: public\r\nX-Note: private\r\n\r\n", true},
      {"HTTP/1.0 200 OK\r\nX-Set-Cookie-Policy: none\r\n\r\n", true},
  };
  for (const auto& [header, storable] : cases)
    EXPECT_EQ(IsStorableResponse(header), storable) << header;
}

TEST(CachePolicy, OnlyValidatedStaticObjectsAreServedUnchecked) {
  CacheEntryHeader image{kEntryComplete, 0, 1234, 10, 0};
  const std::string path = "ProxyCache/server/img+logo.gif";
  EXPECT_TRUE(ServableWithoutCheck(image, 5000, "img+logo.gif", path));
  // Without a validator an entry is never used unfetched.
  CacheEntryHeader no_validator = image;
  no_validator.validator = 0;
  EXPECT_FALSE(IsCacheCandidate(no_validator));
  EXPECT_FALSE(ServableWithoutCheck(no_validator, 5000, "img+logo.gif", path));
  CacheEntryHeader html = image;
  html.html = 1;
  EXPECT_FALSE(ServableWithoutCheck(html, 5000, "img+logo.gif", path));
  EXPECT_FALSE(ServableWithoutCheck(image, kServeUncheckedBelow, "img+logo.gif", path));
  EXPECT_TRUE(ServableWithoutCheck(image, kServeUncheckedBelow - 1, "img+logo.gif", path));
  for (const std::string name :
       {"index.HTML", "a.css", "setup.exe", "f.tar.zip", "x.pl", "noext", "x.sha"})
    EXPECT_FALSE(ServableWithoutCheck(image, 5000, name, "ProxyCache/server/" + name)) << name;
  EXPECT_FALSE(ServableWithoutCheck(image, 5000, "a.gif", "ProxyCache/server/CGI-bin+a.gif"));
}

}  // namespace
}  // namespace netrove
