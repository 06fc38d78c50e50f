// Proxy users (entries, credentials, time windows, the local address,
// Base64) and the url.bad and files.bad rules. The proxy's end-to-end test
// shows them on real connections, with the replies of a hit.
#include <gtest/gtest.h>

#include <array>
#include <tuple>

#include "lib/net_context.h"
#include "proxy/proxy_users.h"
#include "proxy/url_filters.h"

namespace netrove {
namespace {

using namespace netrove::testing;

constexpr int64_t kTuesday = 1796428800 + 3 * 86400;  // 8 Dec 2026 0:00
const std::string kNo = "<refused>", kAnna = "Proxy-Authorization: Basic YW5uYTpwdw==",  // anna:pw
    kBob = "Proxy-Authorization: Basic Ym9iOnB3", kBobX = "Proxy-Authorization: Basic Ym9iOng=";

class AccessTest : public ::testing::Test {
 protected:
  // The user admitted, or "<refused>"; at `local` time (0: Tuesday 10:00).
  std::string Check(const std::string& file, const std::string& credentials,
                    const std::string& address = "192.168.0.1", uint16_t port = 3128,
                    int64_t local = 0) {
    ctx_.real_env.SetLocalSeconds(local ? local : kTuesday + 10 * 3600);
    file == "<none>" ? (void)std::filesystem::remove(kProxyUsersFile)
                     : WriteFile(kProxyUsersFile, file);
    AddressList list;
    std::string user;
    bool ok = users_.CheckProxyUser(address, port, credentials, user, list, kProxyUsersFile);
    return ok ? user : kNo;
  }
  NetTestContext ctx_;
  ProxyUsers users_{ctx_.env, ctx_.log, ctx_.console};
};

// clang-format off
TEST_F(AccessTest, EntriesCredentialsTimeWindowsAndAddresses) {
  const std::string a = "Proxy-Authorization: Basic ";
  for (auto [file, credentials, want] : std::vector<std::array<std::string, 3>>{
           {"- -", "", "-"},          {"ANNA pw", kAnna, "ANNA"},   {"Anna pw", kAnna, "Anna"},
           {"ANNA PW", kAnna, kNo},   {"- pw", kBob, "-"},          {"- pw", kBobX, kNo},
           {"- pw", "", kNo},         {"ANNA x\n- -", kAnna, kNo}, {"ANNA x\n- -", kBobX, "-"},
           {"- -\n- x", kBob, kNo},   {"ANNA", kAnna, "ANNA"},      {"ANNA -", kAnna, "ANNA"},
           {"ANNA x\nANNA pw", kAnna, kNo},  {"ANNA p,w", a + "YW5uYTpwLHc=", "ANNA"},
           {"ANNA pw", "Proxy-Authorization:  Digest \tYW5uYTpwdw==", "ANNA"},
           {"- -", a + "Ym9i", kNo},  {"- -", a, kNo},  {"- -", "Proxy-Authorization:Basic", kNo},
           {"", "", kNo},             {"; nobody", "", kNo},        {"<none>", "", kNo}})
    EXPECT_EQ(Check(file, credentials), want) << file << " / " << credentials;
  const int64_t at18 = kTuesday + 18 * 3600, sunday = kTuesday - 2 * 86400 + 10 * 3600;
  const std::string weekdays = "12345.9:00-18:00,ANNA pw", ip = "192.168.0.1", nets = "10.0.0.1";
  for (auto [file, address, port, local, want] :
       std::vector<std::tuple<std::string, std::string, uint16_t, int64_t, std::string>>{
           {weekdays, ip, 3128, at18, "ANNA"},  {weekdays, ip, 3128, at18 + 60, kNo},
           {weekdays, ip, 3128, sunday, kNo},   {"22:00-02:00,- -", ip, 3128, 0, kNo},
           {"9:00-18:00,12345.0:00-23:59,ANNA pw", ip, 3128, 0, "ANNA"},
           {"9:00-18:00,0:00-9:30,ANNA pw", ip, 3128, 0, kNo},
           {"12:00-13:00,ANNA pw\n- -", ip, 3128, 0, kNo},  // his own entry, no fallback
           {"ANNA pw 192.168.0.*", ip, 3128, 0, "ANNA"},
           {"ANNA pw 192.168.0.*", nets, 3128, 0, kNo},
           {"ANNA pw 192.168.*", "192.168.7.1", 3128, 0, "ANNA"},
           {"ANNA pw *.*.*.*:3128", ip, 3128, 0, "ANNA"},
           {"ANNA pw *.*.*.*:3128", ip, 8080, 0, kNo}})
    EXPECT_EQ(Check(file, kAnna, address, port, local), want) << file << " " << address << ":" << port << " at " << local;
}

TEST_F(AccessTest, Base64VectorsAndBoundedCharErrors) {
  for (auto [text, want] : std::vector<std::pair<std::string, std::string>>{
           {"", ""},             {"Zg==", "f"},          {"Zm8=", "fo"},         {"Zm9v", "foo"},
           {"Zm9vYg==", "foob"}, {"Zm9vYmE=", "fooba"},  {"Zm9vYmFy", "foobar"}, {"Zm8", "fo"},
           {"Zm9vY", "foo"},     {"Zg==Zm9v", "f"},      {"/+/+", "\xff\xef\xfe"},
           {"Zm9v\r\n*YmFy", "foobar"}})
    EXPECT_EQ(DecodeBase64(text).data, want) << text;
  EXPECT_EQ(CharErrorText('*') + CharErrorText('\x1b') + CharErrorText('\xe9'),
            "Char error:* (42)Char error:\\x1b (27)Char error:\\xe9 (233)");

  EXPECT_EQ(Check("A b", "Proxy-Authorization: Basic " + std::string(200, '*') + "YTpi"), "A");
  std::string shown(4096, '\0');
  shown.resize(std::max<ssize_t>(read(ctx_.output.fd[0], shown.data(), shown.size()), 0));
  EXPECT_EQ(shown, "Char error:* (42)\nChar error:* (42)\nChar error:* (42)\n");
}

TEST(UrlFilters, FileLinesAndFirstMatchWithExceptions) {
  using Lines = std::vector<std::string>;
  const std::string tail = "http://h/" + std::string(300, 'x') + "tail";  // beyond 255
  const Lines ok_prefix = {"!http://a/ok", "http://a/"}, ok_text = {"!+ok", "+a/"};
  for (auto [entries, url, want] : std::vector<std::tuple<Lines, std::string, bool>>{
           {ok_prefix, "http://a/ok/page", false}, {ok_prefix, "http://a/other", true},
           {ok_prefix, "http://b/", false},        {ok_text, "http://a/ok", false},
           {ok_text, "http://a/x", true},          {{"+x", "!+x"}, "http://x/", true},
           {{"+ads"}, "http://h/ADS/1", false},    {{"http://a/"}, "HTTP://a/", false},
           {{"/a"}, "http://h/a", false},          {{"+"}, "", false},
           {{"+tail"}, tail, false},               {{"+" + tail.substr(200, 55)}, tail, true},
           {{}, "http://a/", false}})
    EXPECT_EQ(UrlIsBlocked(entries, url), want) << url << " " << entries.size();
  // The file's lines are read without trimming.
  const std::string long_line(300, 'L');
  EXPECT_EQ(ParseFilterText("a\r\n\n;note\n +b \n\r\n" + long_line + "\nlast"),
            (std::vector<std::string>{"a", " +b ", long_line.substr(0, 255), "last"}));
  EXPECT_EQ(ParseFilterText("a\nhttp://h", true), std::vector<std::string>{"a"});
}

TEST(UrlFilters, MasksOfNamesAndExtensions) {
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
    EXPECT_EQ(FileIsBlocked({masks}, file_name), want) << file_name << " / " << masks;
  EXPECT_EQ(FileCompareText("a/B.Tar.GZ") + FileCompareText("readme"), "B.Tar.gzreadme.");
}
// clang-format on

}  // namespace
}  // namespace netrove
