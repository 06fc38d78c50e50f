// Proxy users: credentials, the choice of the entry, time windows, the
// local address rule, and the Base64 decoder with its bounded reports.
#include "proxy/proxy_users.h"

#include <gtest/gtest.h>

#include <array>
#include <tuple>

#include "lib/net_context.h"

namespace netrove {
namespace {

using namespace netrove::testing;

constexpr int64_t kTuesday = 1796428800 + 3 * 86400;  // 8 Dec 2026 0:00
const std::string kNo = "<refused>", kAnna = "Proxy-Authorization: Basic YW5uYTpwdw==",  // anna:pw
    kBob = "Proxy-Authorization: Basic Ym9iOnB3", kBobX = "Proxy-Authorization: Basic Ym9iOng=";

class ProxyUsersTest : public ::testing::Test {
 protected:
  // The user admitted, or "<refused>"; at `local` time (Tuesday 10:00 by default).
  std::string Check(const std::string& file, const std::string& credentials,
                    const std::string& address = "192.168.0.1", uint16_t port = 3128,
                    int64_t local = kTuesday + 10 * 3600) {
    ctx_.real_env.SetLocalSeconds(local);
    if (file != "<none>") WriteFile(kProxyUsersFile, file);
    AddressList list;
    std::string user;
    bool ok = users_.CheckProxyUser(address, port, credentials, user, list, kProxyUsersFile);
    return ok ? user : kNo;
  }
  NetTestContext ctx_;
  ProxyUsers users_{ctx_.env, ctx_.log, ctx_.console};
};

TEST_F(ProxyUsersTest, EntriesNamesPasswordsAndMalformedCredentials) {
  const std::string a = "Proxy-Authorization: Basic ";
  // clang-format off
  for (auto [file, credentials, want] : std::vector<std::array<std::string, 3>>{
           {"- -", "", "-"},          {"ANNA pw", kAnna, "ANNA"},   {"Anna pw", kAnna, "Anna"},
           {"ANNA PW", kAnna, kNo},   {"- pw", kBob, "-"},          {"- pw", kBobX, kNo},
           {"- pw", "", kNo},         {"ANNA x\n- -", kAnna, kNo}, {"ANNA x\n- -", kBobX, "-"},
           {"- -\n- x", kBob, kNo},   {"ANNA", kAnna, "ANNA"},      {"ANNA -", kAnna, "ANNA"},
           {"ANNA x\nANNA pw", kAnna, kNo},  {"ANNA p,w", a + "YW5uYTpwLHc=", "ANNA"},
           {"ANNA pw", "Proxy-Authorization:  Digest \tYW5uYTpwdw==", "ANNA"},
           {"- -", a + "Ym9i", kNo},  {"- -", a, kNo},  {"- -", "Proxy-Authorization:Basic", kNo},
           {"", "", kNo},             {"; nobody", "", kNo},        {"<none>", "", kNo}}) {
    // clang-format on
    if (file == "<none>") std::filesystem::remove(kProxyUsersFile);
    EXPECT_EQ(Check(file, credentials), want) << file << " / " << credentials;
  }
}

TEST_F(ProxyUsersTest, TimeWindowsAndTheLocalAddress) {
  const int64_t at18 = kTuesday + 18 * 3600, sunday = kTuesday - 2 * 86400 + 10 * 3600;
  const std::string weekdays = "12345.9:00-18:00,ANNA pw", ip = "192.168.0.1", nets = "10.0.0.1";
  // clang-format off
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
    // clang-format on
    EXPECT_EQ(Check(file, kAnna, address, port, local ? local : kTuesday + 10 * 3600), want)
        << file << " " << address << ":" << port << " at " << local;
}

// The rule is on the address the client reached, not on the client's own.
TEST_F(ProxyUsersTest, SocketFormMatchesTheLocalAddress) {
  uint16_t port = 0;
  int listener = BindLoopback(port), client = ConnectLoopback(port, "127.0.0.1", "127.0.0.2");
  SocketVar accepted(ctx_.net.sockets(), accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)), none;
  for (auto [socket, file, want] : std::vector<std::tuple<SocketVar*, std::string, bool>>{
           {&accepted, "- - 127.0.0.1:" + std::to_string(port), true},
           {&accepted, "- - 127.0.0.2", false},
           {&none, "- -", false}}) {
    WriteFile(kProxyUsersFile, file);
    AddressList list;
    std::string user;
    EXPECT_EQ(users_.CheckProxyUser(*socket, "", user, list, kProxyUsersFile), want) << file;
  }
  close(client);
  close(listener);
}

TEST_F(ProxyUsersTest, Base64VectorsAndBoundedCharErrors) {
  // clang-format off
  for (auto [text, want] : std::vector<std::pair<std::string, std::string>>{
           {"", ""},             {"Zg==", "f"},          {"Zm8=", "fo"},         {"Zm9v", "foo"},
           {"Zm9vYg==", "foob"}, {"Zm9vYmE=", "fooba"},  {"Zm9vYmFy", "foobar"}, {"Zm8", "fo"},
           {"Zm9vY", "foo"},     {"Zg==Zm9v", "f"},      {"/+/+", "\xff\xef\xfe"},
           {"Zm9v\r\n*YmFy", "foobar"}})
    // clang-format on
    EXPECT_EQ(DecodeBase64(text).data, want) << text;
  EXPECT_EQ(CharErrorText('*') + CharErrorText('\x1b') + CharErrorText('\xe9'),
            "Char error:* (42)Char error:\\x1b (27)Char error:\\xe9 (233)");

  EXPECT_EQ(Check("A b", "Proxy-Authorization: Basic " + std::string(200, '*') + "YTpi"), "A");
  std::string shown(4096, '\0');
  shown.resize(std::max<ssize_t>(read(ctx_.output.fd[0], shown.data(), shown.size()), 0));
  EXPECT_EQ(shown, "Char error:* (42)\nChar error:* (42)\nChar error:* (42)\n");
}

}  // namespace
}  // namespace netrove
