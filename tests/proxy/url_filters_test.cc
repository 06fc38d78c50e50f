// The URL and file filters: the forms of url.bad, the masks of files.bad,
// the reading of both files and the replies a hit sends.
#include "proxy/url_filters.h"

#include <gtest/gtest.h>

#include <tuple>

#include "lib/net_context.h"

namespace netrove {
namespace {

using namespace netrove::testing;

TEST(UrlFilters, FirstMatchDecidesWithExceptions) {
  using Lines = std::vector<std::string>;
  const std::string long_url = "http://h/" + std::string(300, 'x') + "tail";
  for (auto [entries, url, want] : std::vector<std::tuple<Lines, std::string, bool>>{
           {{"!http://a/ok", "http://a/"}, "http://a/ok/page", false},
           {{"!http://a/ok", "http://a/"}, "http://a/other", true},
           {{"!http://a/ok", "http://a/"}, "http://b/", false},
           {{"!+ok", "+a/"}, "http://a/ok", false},
           {{"!+ok", "+a/"}, "http://a/x", true},
           {{"+x", "!+x"}, "http://x/", true},
           {{"+ads"}, "http://h/ADS/1", false},
           {{"http://a/"}, "HTTP://a/", false},
           {{"/a"}, "http://h/a", false},
           {{"+"}, "", false},
           {{"+tail"}, long_url, false},
           {{"+" + long_url.substr(200, 55)}, long_url, true},
           {{}, "http://a/", false}})
    EXPECT_EQ(UrlIsBlocked(entries, url), want) << url << " " << entries.size();
}

TEST(UrlFilters, MasksOfNamesAndExtensions) {
  for (auto [file_name, masks, want] : std::vector<std::tuple<std::string, std::string, bool>>{
           {"d+setup.exe", "*.exe,*.zip", true},
           {"d+setup.txt", "*.exe,*.zip", false},
           {"a.ZIP", " *.exe,*.zip ", true},
           {"a.zip", "*.exe, *.zip", true},
           {"setup1.exe", "setup?.exe", true},
           {"setup12.exe", "setup?.exe", false},
           {"SETUP.EXE", "set?p.*", true},
           {"setup-x86.exe", "setup*.exe", true},
           {"install.exe", "setup*.exe", false},
           {"a.exe1", "*.ex*", true},
           {"a.e", "*.ex*", false},
           {"a.exe", "*.e?e", true},
           {"ab.exe", "ab?.exe", true},
           {"readme", "readme.", true},
           {"readme", "*.", true},
           {"readme", "*.*", true},
           {"readme", "readme", false},
           {"readme", "*", false},
           {"a.exe", "*", false},
           {"get.cgi!file=a.exe", "*.exe", true},
           {"dir/sub\\tool.exe", "*.exe", true},
           {"tool.exe/readme", "*.exe", false},
           {"a.tar.gz", "a.*", false},
           {"a.tar.gz", "a.tar.*", true},
           {"", "*.*", false},
           {"a.exe", ",,", false}})
    EXPECT_EQ(FileIsBlocked({masks}, file_name), want) << file_name << " / " << masks;
  EXPECT_EQ(FileCompareText("a/B.Tar.GZ"), "B.Tar.gz");
  EXPECT_EQ(FileCompareText("readme"), "readme.");
}

TEST(UrlFilters, FileTextIsReadWithoutTrimming) {
  const std::string long_line(300, 'L');
  EXPECT_EQ(ParseFilterText("a\r\n\n;note\n +b \n\r\n" + long_line + "\nlast"),
            (std::vector<std::string>{"a", " +b ", long_line.substr(0, 255), "last"}));
  EXPECT_EQ(ParseFilterText("a\nhttp://h", true), std::vector<std::string>{"a"});
}

TEST(UrlFilters, HitsAreAnsweredAndMissingFilesFilterNothing) {
  NetTestContext ctx;
  ProxyReplies replies(ctx.env, DrainLimits{.silence_ms = 100, .max_ms = 500});
  ProxyFilters filters(ctx.env, replies);
  WriteFile(kUrlBadFile, "; ads\n+/ads/\n");
  WriteFile(kFilesBadFile, "*.exe,*.zip\n");
  filters.LoadBadLists();

  auto [ours, peer] = ctx.LoopbackPair();
  EXPECT_FALSE(filters.UrlBadCheck("http://h/a.html", ours));
  EXPECT_FALSE(filters.FilesBadCheck("d+setup.txt", ours));
  ASSERT_TRUE(ours.is_open());
  EXPECT_TRUE(filters.UrlBadCheck("http://h/ads/1.gif", ours));
  EXPECT_FALSE(ours.is_open());
  EXPECT_EQ(ReadAll(peer.handle(), 3000), kSkippedHeader);

  auto [ours2, peer2] = ctx.LoopbackPair();
  EXPECT_TRUE(filters.FilesBadCheck("d+setup.exe", ours2));
  EXPECT_FALSE(ours2.is_open());
  std::string page = ReadAll(peer2.handle(), 3000);
  EXPECT_TRUE(page.starts_with(kNotFoundHeader)) << page;
  EXPECT_NE(page.find(std::string(kNotFoundPageHead) + std::string(kFileNotFoundMessage)),
            std::string::npos);

  std::filesystem::remove(kUrlBadFile);
  std::filesystem::remove(kFilesBadFile);
  filters.LoadBadLists();
  auto [ours3, peer3] = ctx.LoopbackPair();
  EXPECT_FALSE(filters.UrlBadCheck("http://h/ads/1.gif", ours3));
  EXPECT_FALSE(filters.FilesBadCheck("d+setup.exe", ours3));
  EXPECT_TRUE(ours3.is_open());
}

}  // namespace
}  // namespace netrove
