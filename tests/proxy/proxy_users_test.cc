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

constexpr int64_t kTuesday = 1796475899 - 13 * 3600 - 4 * 60 - 59 + 3 * 86400;  // 8 Dec 2026 0:00

std::string Basic(const std::string& user_and_password) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < user_and_password.size(); i += 3) {
    uint32_t n = 0;
    for (size_t k = 0; k < 3; ++k)
      n = n << 8 | (i + k < user_and_password.size() ? uint8_t(user_and_password[i + k]) : 0);
    size_t chars = std::min<size_t>(4, user_and_password.size() - i + 1);
    for (size_t k = 0; k < 4; ++k) out += k < chars ? kAlphabet[(n >> (18 - 6 * k)) & 63] : '=';
  }
  return "Proxy-Authorization: Basic " + out;
}

class ProxyUsersTest : public ::testing::Test {
 protected:
  // The user admitted, or "<refused>"; at `local` time (0: Tuesday 10:00).
  std::string Check(const std::string& file, const std::string& credentials,
                    const std::string& address = "192.168.0.1", uint16_t port = 3128,
                    int64_t local = kTuesday + 10 * 3600) {
    ctx_.real_env.SetLocalSeconds(local);
    if (file != "<none>") WriteFile(kProxyUsersFile, file);
    AddressList list;
    std::string user = "<refused>";
    return users_.CheckProxyUser(address, port, credentials, user, list, kProxyUsersFile)
               ? user
               : "<refused>";
  }
  NetTestContext ctx_;
  ProxyUsers users_{ctx_.env, ctx_.log, ctx_.console};
};

TEST_F(ProxyUsersTest, EntriesNamesPasswordsAndMalformedCredentials) {
  const std::string r = "<refused>",
                    malformed[] = {"Proxy-Authorization: Basic", "Proxy-Authorization: Basic ",
                                   "Proxy-Authorization:Basic", "Proxy-Authorization: Basic Ym9i"};
  for (auto [file, credentials, want] : std::vector<std::array<std::string, 3>>{
           {"- -\n", "", "-"},
           {"ANNA secret\n", Basic("anna:secret"), "ANNA"},
           {"anna secret\n", Basic("ANNA:secret"), "anna"},
           {"ANNA Secret\n", Basic("anna:secret"), r},
           {"- shared\n", Basic("bob:shared"), "-"},
           {"- shared\n", Basic("bob:other"), r},
           {"- shared\n", "", r},
           {"ANNA secret\n- -\n", Basic("anna:wrong"), r},
           {"ANNA secret\n- -\n", Basic("bob:x"), "-"},
           {"- -\n- pw\n", Basic("bob:x"), r},
           {"ANNA\n", Basic("anna:any"), "ANNA"},
           {"ANNA -\n", Basic("anna:"), "ANNA"},
           {"ANNA pw\nANNA other\n", Basic("anna:other"), r},
           {"ANNA pa,ss\n", Basic("anna:pa,ss"), "ANNA"},
           {"ANNA a:b\n", Basic("anna:a:b"), "ANNA"},
           {"ANNA pw\n", "Proxy-Authorization: Digest " + Basic("anna:pw").substr(27), "ANNA"},
           {"ANNA pw\n", "Proxy-Authorization:  Basic \t" + Basic("anna:pw").substr(27), "ANNA"},
           {"- -\n", malformed[0], r},
           {"- -\n", malformed[1], r},
           {"- -\n", malformed[2], r},
           {"- -\n", malformed[3], r},
           {"", "", r},
           {"; nobody\n", "", r},
           {"<none>", "", r}}) {
    if (file == "<none>") std::filesystem::remove(kProxyUsersFile);
    EXPECT_EQ(Check(file, credentials), want) << file << " / " << credentials;
  }
}

TEST_F(ProxyUsersTest, TimeWindowsAndTheLocalAddress) {
  const std::string r = "<refused>", anna = Basic("anna:pw");
  const int64_t at18 = kTuesday + 18 * 3600, sunday = kTuesday - 2 * 86400 + 10 * 3600;
  EXPECT_EQ(Check("12345.9:00-18:00,ANNA pw\n", anna, "192.168.0.1", 3128, at18), "ANNA");
  EXPECT_EQ(Check("12345.9:00-18:00,ANNA pw\n", anna, "192.168.0.1", 3128, at18 + 60), r);
  EXPECT_EQ(Check("12345.9:00-18:00,ANNA pw\n", anna, "192.168.0.1", 3128, sunday), r);
  EXPECT_EQ(Check("9:00-18:00,12345.0:00-23:59,ANNA pw\n", anna), "ANNA");
  EXPECT_EQ(Check("9:00-18:00,0:00-9:30,ANNA pw\n", anna), r);
  EXPECT_EQ(Check("22:00-02:00,- -\n", ""), r);
  EXPECT_EQ(Check("12:00-13:00,ANNA pw\n- -\n", anna), r);  // own entry, no fallback
  for (auto [entry, address, port, want] :
       std::vector<std::tuple<std::string, std::string, uint16_t, std::string>>{
           {"ANNA pw 192.168.0.*", "192.168.0.1", 3128, "ANNA"},
           {"ANNA pw 192.168.0.*", "10.0.0.1", 3128, r},
           {"ANNA pw 192.168.*", "192.168.7.1", 3128, "ANNA"},
           {"ANNA pw *.*.*.*:3128", "10.0.0.1", 3128, "ANNA"},
           {"ANNA pw *.*.*.*:3128", "10.0.0.1", 8080, r}})
    EXPECT_EQ(Check(entry, anna, address, port), want) << entry << " " << address << ":" << port;
}

// The rule is on the address the client reached, not on the client's own.
TEST_F(ProxyUsersTest, SocketFormMatchesTheLocalAddress) {
  uint16_t port = 0;
  int listener = BindLoopback(port);
  int client = ConnectLoopback(port, "127.0.0.1", "127.0.0.2");
  SocketVar accepted(ctx_.net.sockets(), accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  for (auto [file, want] : std::vector<std::pair<std::string, bool>>{
           {"- - 127.0.0.1:" + std::to_string(port), true}, {"- - 127.0.0.2", false}}) {
    WriteFile(kProxyUsersFile, file);
    AddressList list;
    std::string user;
    EXPECT_EQ(users_.CheckProxyUser(accepted, "", user, list, kProxyUsersFile), want) << file;
  }
  SocketVar closed;
  AddressList list;
  std::string user;
  EXPECT_FALSE(users_.CheckProxyUser(closed, "", user, list, kProxyUsersFile));
  close(client);
  close(listener);
}

TEST_F(ProxyUsersTest, Base64VectorsAndBoundedCharErrors) {
  for (auto [text, want] :
       std::vector<std::pair<std::string, std::string>>{{"", ""},
                                                        {"Zg==", "f"},
                                                        {"Zm8=", "fo"},
                                                        {"Zm9v", "foo"},
                                                        {"Zm9vYg==", "foob"},
                                                        {"Zm9vYmE=", "fooba"},
                                                        {"Zm9vYmFy", "foobar"},
                                                        {"Zm8", "fo"},
                                                        {"Zm9vY", "foo"},
                                                        {"Zg==Zm9v", "f"},
                                                        {"/+/+", "\xff\xef\xfe"},
                                                        {"Zm9v\r\n*YmFy", "foobar"}})
    EXPECT_EQ(DecodeBase64(text).data, want) << text;
  EXPECT_EQ(CharErrorText('*'), "Char error:* (42)");
  EXPECT_EQ(CharErrorText('\x1b'), "Char error:\\x1b (27)");
  EXPECT_EQ(CharErrorText('\xe9'), "Char error:\\xe9 (233)");

  const std::string garbage = "Proxy-Authorization: Basic " + std::string(200, '*') + "YTpi";
  EXPECT_EQ(Check("A b\n", garbage), "A");
  std::string shown(4096, '\0');
  ssize_t n = read(ctx_.output.fd[0], shown.data(), shown.size());
  EXPECT_EQ(shown.substr(0, std::max<ssize_t>(n, 0)),
            "Char error:* (42)\nChar error:* (42)\nChar error:* (42)\n");
}

}  // namespace
}  // namespace netrove
