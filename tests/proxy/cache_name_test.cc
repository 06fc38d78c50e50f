// Request texts to cache names and paths; the codecs; what may be stored
// and served unchecked.
#include "proxy/cache_name.h"

#include <gtest/gtest.h>

#include "proxy/cache_codec.h"
#include "proxy/cache_policy.h"

namespace netrove {
namespace {

std::string PathOf(const std::string& request_line) {
  CacheName name = CacheNameFromRequest(request_line + " HTTP/1.0\r\nHost: x\r\n\r\n");
  return name.host_dir + " | " + name.file_name + " | " +
         CachePathFor("C/", name, request_line.find("ftp:") != std::string::npos).value_or("-");
}

TEST(CacheName, RequestsMapToFlattenedNamesAndSafePaths) {
  const std::string fits(kMaxCachePath - 9, 'a');  // "C/" + "server/" + name
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"GET http://server/img/logo.gif", "server | img+logo.gif | C/server/img+logo.gif"},
      {"GET http://server/x/y.gif?1", "server | x+y.gif?1 | C/server/x+y.gif!1"},
      {"get http://server/x/y.gif?2", "server | x+y.gif?2 | C/server/x+y.gif!2"},
      {"HEAD http://user@server:81/", "server...81 | + | C/server...81/+"},
      {"GET http://server/a%2Fb|c*d:e", "server | a+b|c*d:e | C/server/a+b!c!d!e"},
      {"GET http://server/a+b%20c", "server | a b c | C/server/a b c"},
      {"GET http:\\\\server\\d\\f.txt", "server | d+f.txt | C/server/d+f.txt"},
      {"GET ftp://host/pub/f.zip", "host | pub+f.zip | C/FTP/host/pub+f.zip"},
      {"POST http://server/form", "server | *form | -"},
      {"CONNECT server:443", "server...443 | *+ | -"},
      {"DELETE http://server/x", "//?/ | //?/ | -"},
      {"GET /index.html", " |  | -"},
      // Names that would leave the cache directory, or cut paths that collide.
      {"GET http:///x", " | x | -"},
      {"GET http://%2e%2e/x", ".. | x | -"},
      {"GET http://server/%2e%2e", "server | .. | -"},
      {"GET http://ser%00ver/x", std::string("ser\0ver | x | -", 15)},
      {"GET http://server/" + fits, "server | " + fits + " | C/server/" + fits},
      {"GET http://server/" + fits + "b", "server | " + fits + "b | -"},
  };
  for (const auto& [line, want] : cases) EXPECT_EQ(PathOf(line), want) << line;
  EXPECT_EQ(CacheNameFromRequest("GET http://server/x HTTP/1.0").file_name, "");  // no LF
}

TEST(CacheCodec, CrcValidatorAndScrambler) {
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
  UnscrambleBytes(text.data(), text.size());
  EXPECT_EQ(text, "Cookie: id=7");
}

TEST(CachePolicy, PrivateResponsesAndWhatIsServedUnchecked) {
  for (const auto& [header, storable] : std::vector<std::pair<std::string, bool>>{
           {"H\r\nContent-Type: text/html\r\nX-Note: private\r\n\r\n", true},
           {"H\r\nset-cookie : id=1\r\n\r\n", false},
           {"H\r\nCache-Control: max-age=60, PRIVATE\r\n\r\n", false},
           {"H\r\ncache-control: max-age=60,\r\n  No-Store\r\n\r\n", false}})
    EXPECT_EQ(IsStorableResponse(header), storable) << header;

  const CacheEntryHeader image{kEntryComplete, 0, 1234, 10, 0};
  EXPECT_TRUE(ServableWithoutCheck(image, kServeUncheckedBelow - 1, "a.gif", "C/s/a.gif"));
  CacheEntryHeader no_validator = image, html = image;
  no_validator.validator = 0;
  html.html = 1;
  EXPECT_FALSE(ServableWithoutCheck(no_validator, 5, "a.gif", "C/s/a.gif"));
  EXPECT_FALSE(ServableWithoutCheck(html, 5, "a.gif", "C/s/a.gif"));
  EXPECT_FALSE(ServableWithoutCheck(image, kServeUncheckedBelow, "a.gif", "C/s/a.gif"));
  for (const std::string name : {"i.HTML", "x.sha", "noext", "cgi-bin+a.gif"})
    EXPECT_FALSE(ServableWithoutCheck(image, 5, name, "C/s/" + name)) << name;
}

}  // namespace
}  // namespace netrove
