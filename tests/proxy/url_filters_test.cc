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
  const std::string tail = "http://h/" + std::string(300, 'x') + "tail";  // beyond 255
  const Lines ok_prefix = {"!http://a/ok", "http://a/"}, ok_text = {"!+ok", "+a/"};
  // clang-format off
  for (auto [entries, url, want] : std::vector<std::tuple<Lines, std::string, bool>>{
           {ok_prefix, "http://a/ok/page", false}, {ok_prefix, "http://a/other", true},
           {ok_prefix, "http://b/", false},        {ok_text, "http://a/ok", false},
           {ok_text, "http://a/x", true},          {{"+x", "!+x"}, "http://x/", true},
           {{"+ads"}, "http://h/ADS/1", false},    {{"http://a/"}, "HTTP://a/", false},
           {{"/a"}, "http://h/a", false},          {{"+"}, "", false},
           {{"+tail"}, tail, false},               {{"+" + tail.substr(200, 55)}, tail, true},
           {{}, "http://a/", false}})
    // clang-format on
    EXPECT_EQ(UrlIsBlocked(entries, url), want) << url << " " << entries.size();
}

TEST(UrlFilters, MasksOfNamesAndExtensions) {
  // clang-format off
  for (auto [file_name, masks, want] : std::vector<std::tuple<std::string, std::string, bool>>{
           {"d+setup.exe", "*.exe,*.zip", true},  {"d+setup.txt", "*.exe,*.zip", false},
           {"a.ZIP", " *.exe,*.zip ", true},      {"a.zip", "*.exe, *.zip", true},
           {"setup1.exe", "setup?.exe", true},    {"setup12.exe", "setup?.exe", false},
           {"SETUP.EXE", "set?p.*", true},        {"setup-x86.exe", "setup*.exe", true},
           {"install.exe", "setup*.exe", false},  {"a.exe1", "*.ex*", true},
           {"a.e", "*.ex*", false},               {"a.exe", "*.e?e", true},
           {"ab.exe", "ab?.exe", true},           {"readme", "readme.", true},
           {"readme", "*.", true},                {"readme", "*.*", true},
           {"readme", "readme", false},           {"readme", "*", false},
           {"get.cgi!file=a.exe", "*.exe", true}, {"dir/sub\\tool.exe", "*.exe", true},
           {"tool.exe/readme", "*.exe", false},   {"a.tar.gz", "a.*", false},
           {"a.tar.gz", "a.tar.*", true},         {"", "*.*", false},
           {"a.exe", ",,", false}})
    // clang-format on
    EXPECT_EQ(FileIsBlocked({masks}, file_name), want) << file_name << " / " << masks;
  EXPECT_EQ(FileCompareText("a/B.Tar.GZ") + FileCompareText("readme"), "B.Tar.gzreadme.");
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
  // What the client gets when both checks run; "<open>" when neither hit.
  auto client_gets = [&](const std::string& url, const std::string& file_name) {
    auto [ours, peer] = ctx.LoopbackPair();
    bool hit = filters.FilesBadCheck(file_name, ours) || filters.UrlBadCheck(url, ours);
    EXPECT_EQ(hit, !ours.is_open());
    return hit ? ReadAll(peer.handle(), 3000) : "<open>";
  };
  filters.LoadBadLists();
  EXPECT_EQ(client_gets("http://h/a.html", "a.html"), "<open>");
  EXPECT_EQ(client_gets("http://h/ads/1.gif", "ads+1.gif"), kSkippedHeader);
  std::string page = client_gets("http://h/ads/d/setup.exe", "ads+d+setup.exe");
  EXPECT_TRUE(page.starts_with(kNotFoundHeader) && page.find(kFileNotFoundMessage) != page.npos)
      << page;
  std::filesystem::remove(kUrlBadFile);
  std::filesystem::remove(kFilesBadFile);
  filters.LoadBadLists();
  EXPECT_EQ(client_gets("http://h/ads/d/setup.exe", "ads+d+setup.exe"), "<open>");
}

}  // namespace
}  // namespace netrove
