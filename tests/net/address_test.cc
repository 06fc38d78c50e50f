// Address lists: the matcher, time windows, list files, admission and the
// denial log.
#include <gtest/gtest.h>

#include <fstream>

#include "lib/net_context.h"
#include "net/address_match.h"

namespace netrove {
namespace {

// Tuesday 2 January 2024, 00:00 local time.
constexpr int64_t kTuesday = 19724LL * 86400;

TEST(MatchAddressEntryTest, PatternsAndPortSuffix) {
  auto check = [](const char* client, const char* entry, uint16_t port, bool want) {
    EXPECT_EQ(MatchAddressEntry(client, entry, port, kTuesday), want)
        << entry << " for " << client << " on " << port;
  };
  check("192.168.0.77.", "192.168.0.*", 80, true);
  check("192.168.1.77.", "192.168.0.*", 80, false);
  check("192.168.1.77.", "192.168.*", 80, true);
  check("192.168.0.7.", "192.168.0.7", 80, true);
  check("192.168.0.77.", "192.168.0.7", 80, false);  // whole parts only
  check("192.168.0.7.", "#192.168.0.7", 80, true);   // the mark is ignored
  check("10.1.2.3.", "*", 80, true);
  check("10.1.2.3.", "10.1", 80, false);
  check("10.1.2.3.", "", 80, false);
  check("10.1.2.3.", "010.1.2.3", 80, false);  // exact text only
  check("10.0.0.5.", "10.0.0.5:3128", 3128, true);
  check("10.0.0.5.", "10.0.0.5:3128", 8080, false);
  check("10.0.0.5.", "10.0.0.5:", 3128, false);
  check("10.0.0.5.", "10.0.0.5:31x8", 3128, false);
  check("10.0.0.5.", "10.0.0.*:0", 0, true);
  check("127.0.0.2.", "127.0.0.2.99", 80, false);  // extra parts admit nobody
  check("127.0.0.2.", "127.0.0.*.*", 80, false);
  EXPECT_TRUE(AddressPatternTooLong("9:00-17:00,127.0.0.2.99:80"));
  EXPECT_FALSE(AddressPatternTooLong("9:00-17:00,127.0.0.2:80"));
}

TEST(TimeWindowTest, WeekdaysBoundsMidnightAndGarbage) {
  const int tue = 2, sun = 0;
  auto check = [](const char* window, int weekday, int minute, bool want) {
    EXPECT_EQ(TimeWindowHoldsAt(window, weekday, minute), want)
        << window << " on day " << weekday << " at minute " << minute;
  };
  check("12345.09:00-18:00", tue, 18 * 60, true);
  check("12345.09:00-18:00", tue, 18 * 60 + 1, false);
  check("12345.09:00-18:00", tue, 9 * 60, true);
  check("12345.09:00-18:00", tue, 8 * 60 + 59, false);
  check("12345.09:00-18:00", sun, 12 * 60, false);
  check("09:00-18:00", sun, 12 * 60, true);  // no day part: every day
  check(" 0 6 . 9 : 00 - 18:00\t", sun, 12 * 60, true);
  // Across midnight never holds; an end hour of 0 means 24.
  for (int minute : {0, 60, 22 * 60, 23 * 60 + 59}) check("22:00-02:00", tue, minute, false);
  check("18:00-00:00", tue, 23 * 60 + 59, true);
  check("18:00-0:30", tue, 24 * 60 - 1, true);
  for (const char* bad :
       {"", "-", "09:00", "09:00-18", "9-18:00", "ab:cd-ef:gh", "1.:-:", "7.09:00-18:00",
        "12345.09:00-18:0x", "09:00-18:00-19:00", "25:00-26:00", "99:99-99:99"})
    check(bad, tue, 12 * 60, false);
}

TEST(TimeWindowTest, EntryWithWindowsFollowsTheClock) {
  const std::string entry = "12345.09:00-18:00,10.0.0.*";
  const int64_t six_pm = kTuesday + 18 * 3600, noon = kTuesday + 12 * 3600;
  EXPECT_TRUE(MatchAddressEntry("10.0.0.5.", entry, 80, six_pm));
  EXPECT_FALSE(MatchAddressEntry("10.0.0.5.", entry, 80, six_pm + 60));
  EXPECT_FALSE(MatchAddressEntry("10.0.0.5.", entry, 80, noon - 2 * 86400));  // Sunday
  // Two windows must both hold.
  EXPECT_TRUE(MatchAddressEntry("10.0.0.5.", "2.00:00-23:00,11:00-13:00,10.0.0.5", 80, noon));
  EXPECT_FALSE(MatchAddressEntry("10.0.0.5.", "2.00:00-23:00,13:00-14:00,10.0.0.5", 80, noon));
}

class ListFileTest : public ::testing::Test {
 protected:
  ListFileTest() { env_.SetLocalSeconds(kTuesday + 18 * 3600); }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
  }
  std::string Read(const std::string& name) { return env_.ReadFile(name, 1 << 20).value_or(""); }
  bool Load(const std::string& name, AddressList& list) {
    return LoadAddressList(env_, ctx_.log, name, list, true);
  }
  bool Reload(AddressList& list) { return ReloadAddressList(env_, ctx_.log, list); }

  testing::NetTestContext ctx_;
  testing::TestEnv& env_ = ctx_.real_env;
  Access& access_ = ctx_.net.access();
};

TEST_F(ListFileTest, MarkedLinesAreRewrittenAwayAndReloadsAreLazyAndWhole) {
  Write("proxy.ip", "#10.0.0.9\n192.168.0.*  ; office\r\n\t10.0.0.5 \t\n;only a comment\n");
  AddressList list;
  EXPECT_TRUE(Load("proxy.ip", list));
  EXPECT_EQ(Read("proxy.ip"), "192.168.0.*\n10.0.0.5\n");
  EXPECT_EQ(list.Snapshot()->entries, (std::vector<std::string>{"192.168.0.*", "10.0.0.5"}));
  EXPECT_TRUE(Reload(list));  // its own rewrite brings nothing new
  auto first = list.Snapshot();
  // Without marked lines the file is left alone; within 30 seconds it is
  // not even looked at, and then replaced whole.
  Write("proxy.ip", "10.0.0.2 ; admin\n10.0.0.3\n");
  env_.AdvanceLocal(10);
  EXPECT_TRUE(Reload(list));
  EXPECT_EQ(list.Snapshot()->entries, first->entries);
  env_.AdvanceLocal(21);
  EXPECT_TRUE(Reload(list));
  EXPECT_EQ(list.Snapshot()->entries, (std::vector<std::string>{"10.0.0.2", "10.0.0.3"}));
  EXPECT_EQ(first->entries[0], "192.168.0.*");  // a reader of the old list is unaffected
  EXPECT_EQ(Read("proxy.ip"), "10.0.0.2 ; admin\n10.0.0.3\n");
  AddressList missing;
  EXPECT_FALSE(Load("nntp.ip", missing));
  EXPECT_TRUE(missing.Snapshot()->entries.empty());
}

TEST_F(ListFileTest, GarbageFileNeverMatches) {
  Write("socks4.ip", std::string("\x00\xff\x01\x7f;\n", 6) + std::string(5000, 'x') + "\n" +
                         "99:99-99:99,1.2.3.4\n25:00-26:00,*\n12345.ab:cd-10:00,*\n" +
                         "*:notaport\n\xc3\xa9.\xe2\x82\xac.*.*\n,,,,\n:\n.\n");
  AddressList list;
  EXPECT_TRUE(Load("socks4.ip", list));
  ASSERT_GE(list.Snapshot()->entries.size(), 8u);
  for (const std::string& entry : list.Snapshot()->entries) {
    EXPECT_LE(entry.size(), 255u);
    EXPECT_FALSE(MatchAddressEntry("1.2.3.4.", entry, 1080, kTuesday)) << entry;
  }
}

TEST_F(ListFileTest, AdmissionByPortAndTheDenialLog) {
  auto [on_a, peer_a] = ctx_.LoopbackPair();
  auto [on_b, peer_b] = ctx_.LoopbackPair();
  const uint16_t port_a = GetLocalPort(on_a.handle()), port_b = GetLocalPort(on_b.handle());
  Write("maplink.ip", "127.0.0.1:" + std::to_string(port_a) + "\n127.0.0.1.5\n127.0.0.1.6\n");
  AddressList list;
  ASSERT_TRUE(Load("maplink.ip", list));
  ASSERT_EQ(ctx_.Lines(), (std::vector<std::string>{
                              "Warning: maplink.ip: \"127.0.0.1.5\" has more than four address "
                              "parts and admits nobody"}));
  ctx_.ClearLines();
  EXPECT_TRUE(access_.CheckClientOrDeny(on_a, list));
  EXPECT_TRUE(on_a.is_open());
  EXPECT_FALSE(access_.CheckClientOrDeny(on_b, list));
  EXPECT_EQ(on_b.handle(), -1);
  access_.WarnDeniedClient("10.0.0.7", 3128);
  EXPECT_EQ(Read(kDenialLogName), "127.0.0.1 #" + std::to_string(port_b) + "\n10.0.0.7 #3128\n");
  EXPECT_EQ(ctx_.Lines(), (std::vector<std::string>{
                              "WARNING! 127.0.0.1 Access denied to port " + std::to_string(port_b),
                              "WARNING! 10.0.0.7 Access denied to port 3128"}));
  // A client that has gone is refused without a warning.
  CloseSocketVar(peer_a);
  SocketVar& gone = on_a;
  ASSERT_TRUE(testing::WaitUntil([&] { return !IsConnectionAlive(gone); }));
  EXPECT_FALSE(access_.CheckClientOrDeny(on_a, list));
  EXPECT_EQ(ctx_.Lines().size(), 2u);
  // A scan: a few lines of its own, then the rest summed up (once a minute,
  // and when the services stop).
  for (int i = 0; i < 50; ++i) access_.WarnDeniedClient("10.0.0.9", 23);
  access_.FlushRefusalSummaries(true);
  const std::string summary = "\xe2\x80\xa6 47 further attempts from 10.0.0.9";
  std::string denials = Read(kDenialLogName);
  EXPECT_EQ(denials.substr(denials.find("10.0.0.9")),
            "10.0.0.9 #23\n10.0.0.9 #23\n10.0.0.9 #23\n" + summary + "\n");
  EXPECT_EQ(ctx_.Lines().size(), 2u + 3u + 1u);
  EXPECT_EQ(ctx_.Lines().back(), summary);
}

TEST_F(ListFileTest, LocalHostNamesAreExact) {
  Write("local.hst", "mail\nintranet ; our server\n");
  EXPECT_TRUE(access_.IsLocalHostName("mail"));
  EXPECT_TRUE(access_.IsLocalHostName("intranet"));
  EXPECT_FALSE(access_.IsLocalHostName("Mail"));
  EXPECT_FALSE(access_.IsLocalHostName("mail.example"));
}

}  // namespace
}  // namespace netrove
