// Address lists: the matcher, time windows, list files, admission and the
// denial log.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

#include "net/access.h"
#include "net/address_list.h"
#include "net/address_match.h"
#include "net/text_list.h"
#include "net_test_util.h"
#include "runtime/files.h"
#include "runtime/local_clock.h"
#include "runtime/log.h"

namespace netrove {
namespace {

// Tuesday 2 January 2024, 00:00 local time.
constexpr int64_t kTuesday = 19724LL * 86400;
constexpr int64_t kSunday = kTuesday - 2 * 86400;

TEST(MatchAddressEntryTest, Patterns) {
  EXPECT_TRUE(MatchAddressEntry("192.168.0.77.", "192.168.0.*", 80));
  EXPECT_FALSE(MatchAddressEntry("192.168.1.77.", "192.168.0.*", 80));
  EXPECT_TRUE(MatchAddressEntry("192.168.0.77.", "192.168.*", 80));
  EXPECT_TRUE(MatchAddressEntry("192.168.1.77.", "192.168.*", 80));
  EXPECT_FALSE(MatchAddressEntry("192.168.0.77.", "192.168.0.7", 80));
  EXPECT_TRUE(MatchAddressEntry("192.168.0.7.", "192.168.0.7", 80));
  EXPECT_TRUE(MatchAddressEntry("192.168.0.7.", "#192.168.0.7", 80));  // the mark is ignored
  EXPECT_TRUE(MatchAddressEntry("10.1.2.3.", "*", 80));
  EXPECT_FALSE(MatchAddressEntry("10.1.2.3.", "10.1", 80));
  EXPECT_FALSE(MatchAddressEntry("10.1.2.3.", "", 80));
  EXPECT_FALSE(MatchAddressEntry("10.1.2.3.", "010.1.2.3", 80));  // exact text only
}

TEST(MatchAddressEntryTest, PortSuffix) {
  EXPECT_TRUE(MatchAddressEntry("10.0.0.5.", "10.0.0.5:3128", 3128));
  EXPECT_FALSE(MatchAddressEntry("10.0.0.5.", "10.0.0.5:3128", 8080));
  EXPECT_FALSE(MatchAddressEntry("10.0.0.5.", "10.0.0.5:", 3128));
  EXPECT_FALSE(MatchAddressEntry("10.0.0.5.", "10.0.0.5:31x8", 3128));
  EXPECT_TRUE(MatchAddressEntry("10.0.0.5.", "10.0.0.*:0", 0));
}

TEST(TimeWindowTest, WeekdaysAndBounds) {
  const int tuesday = 2, sunday = 0;
  EXPECT_TRUE(TimeWindowHoldsAt("12345.09:00-18:00", tuesday, 18 * 60));
  EXPECT_FALSE(TimeWindowHoldsAt("12345.09:00-18:00", tuesday, 18 * 60 + 1));
  EXPECT_TRUE(TimeWindowHoldsAt("12345.09:00-18:00", tuesday, 9 * 60));
  EXPECT_FALSE(TimeWindowHoldsAt("12345.09:00-18:00", tuesday, 8 * 60 + 59));
  EXPECT_FALSE(TimeWindowHoldsAt("12345.09:00-18:00", sunday, 12 * 60));
  EXPECT_TRUE(TimeWindowHoldsAt("09:00-18:00", sunday, 12 * 60));  // no day part: every day
  EXPECT_TRUE(TimeWindowHoldsAt(" 0 6 . 9 : 00 - 18:00\t", sunday, 12 * 60));
  // Across midnight never holds; an end hour of 0 means 24.
  for (int minute : {0, 60, 22 * 60, 23 * 60 + 59, 12 * 60})
    EXPECT_FALSE(TimeWindowHoldsAt("22:00-02:00", tuesday, minute)) << minute;
  EXPECT_TRUE(TimeWindowHoldsAt("18:00-00:00", tuesday, 23 * 60 + 59));
  EXPECT_TRUE(TimeWindowHoldsAt("18:00-0:30", tuesday, 24 * 60 - 1));
  // Garbage never holds.
  for (const char* bad : {"", "-", "09:00", "09:00-18", "9-18:00", "ab:cd-ef:gh",
                          "1.:-:", "7.09:00-18:00", "12345.09:00-18:0x", "09:00-18:00-19:00"})
    EXPECT_FALSE(TimeWindowHoldsAt(bad, tuesday, 12 * 60)) << bad;
}

class ClockedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    now_ = kTuesday + 18 * 3600;
    SetLocalClockForTesting([this] { return now_.load(); });
  }
  void TearDown() override { SetLocalClockForTesting(nullptr); }
  std::atomic<int64_t> now_;
};

TEST_F(ClockedTest, EntryWithWindowFollowsTheClock) {
  const std::string entry = "12345.09:00-18:00,10.0.0.*";
  EXPECT_TRUE(MatchAddressEntry("10.0.0.5.", entry, 80));
  now_ += 60;
  EXPECT_FALSE(MatchAddressEntry("10.0.0.5.", entry, 80));
  now_ = kSunday + 12 * 3600;
  EXPECT_FALSE(MatchAddressEntry("10.0.0.5.", entry, 80));
  // Two windows must both hold.
  now_ = kTuesday + 12 * 3600;
  EXPECT_TRUE(MatchAddressEntry("10.0.0.5.", "2.00:00-23:00,11:00-13:00,10.0.0.5", 80));
  EXPECT_FALSE(MatchAddressEntry("10.0.0.5.", "2.00:00-23:00,13:00-14:00,10.0.0.5", 80));
}

TEST(ParseListTextTest, Normalises) {
  ParsedList p = ParseListText(
      "#10.0.0.9\n192.168.0.*  ; office\r\n\t10.0.0.5 \t\n;only comment\n\n  a\t\tb  c\n", true);
  EXPECT_TRUE(p.had_marked);
  EXPECT_EQ(p.entries, (std::vector<std::string>{"192.168.0.*", "10.0.0.5", "a b c"}));
  ParsedList kept = ParseListText("#10.0.0.9\n", false);
  EXPECT_FALSE(kept.had_marked);
  EXPECT_EQ(kept.entries, std::vector<std::string>{"#10.0.0.9"});
  // Overlong lines are cut at 255 characters.
  ParsedList longer = ParseListText(std::string(1000, '1') + "\n", false);
  ASSERT_EQ(longer.entries.size(), 1u);
  EXPECT_EQ(longer.entries[0].size(), 255u);
}

class ListFileTest : public ClockedTest {
 protected:
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
  }
  testing::ScratchDir scratch_;
};

TEST_F(ListFileTest, MarkedLinesAreRewrittenAway) {
  Write("proxy.ip", "#10.0.0.9\n192.168.0.*  ; office\n\t10.0.0.5 \t\n");
  AddressList list;
  EXPECT_TRUE(LoadAddressList("proxy.ip", list, true));
  EXPECT_EQ(ReadWholeFile("proxy.ip").value(), "192.168.0.*\n10.0.0.5\n");
  EXPECT_EQ(list.Snapshot()->entries, (std::vector<std::string>{"192.168.0.*", "10.0.0.5"}));
  // Without marked lines the file is left alone.
  Write("ftp.ip", "10.0.0.5 ; admin\n");
  AddressList ftp;
  EXPECT_TRUE(LoadAddressList("ftp.ip", ftp, true));
  EXPECT_EQ(ReadWholeFile("ftp.ip").value(), "10.0.0.5 ; admin\n");
  // Missing file: false and no entries; empty file: true and no entries.
  AddressList missing;
  EXPECT_FALSE(LoadAddressList("nntp.ip", missing, true));
  EXPECT_TRUE(missing.Snapshot()->entries.empty());
  Write("smtp.ip", "; nobody\n");
  AddressList empty;
  EXPECT_TRUE(LoadAddressList("smtp.ip", empty, true));
  EXPECT_TRUE(empty.Snapshot()->entries.empty());
}

TEST_F(ListFileTest, ReloadIsLazyAndWhole) {
  Write("pop3.ip", "10.0.0.1\n");
  AddressList list;
  ASSERT_TRUE(LoadAddressList("pop3.ip", list, true));
  auto first = list.Snapshot();
  Write("pop3.ip", "10.0.0.2\n10.0.0.3\n");
  now_ += 10;  // within 30 seconds: not even looked at
  EXPECT_TRUE(ReloadAddressList(list));
  EXPECT_EQ(list.Snapshot()->entries, std::vector<std::string>{"10.0.0.1"});
  now_ += 21;
  EXPECT_TRUE(ReloadAddressList(list));
  EXPECT_EQ(list.Snapshot()->entries, (std::vector<std::string>{"10.0.0.2", "10.0.0.3"}));
  EXPECT_EQ(first->entries, std::vector<std::string>{"10.0.0.1"});  // old readers unaffected
}

TEST_F(ListFileTest, GarbageFileNeverMatches) {
  std::string garbage = std::string("\x00\xff\x01\x7f;\n", 6) + std::string(5000, 'x') + "\n" +
                        "99:99-99:99,1.2.3.4\n25:00-26:00,*\n12345.ab:cd-10:00,*\n" +
                        "*:notaport\n\xc3\xa9.\xe2\x82\xac.*.*\n,,,,\n:\n.\n";
  Write("socks4.ip", garbage);
  AddressList list;
  EXPECT_TRUE(LoadAddressList("socks4.ip", list, true));
  for (const std::string& entry : list.Snapshot()->entries)
    EXPECT_FALSE(MatchAddressEntry("1.2.3.4.", entry, 1080)) << entry;
}

TEST_F(ListFileTest, AdmissionByPortAndTheDenialLog) {
  std::vector<std::string> logged;
  std::mutex log_mu;
  SetLogProc([&](const std::string& m) {
    std::lock_guard<std::mutex> lock(log_mu);
    logged.push_back(m);
    return m;
  });
  auto [on_a, peer_a] = testing::LoopbackPair();
  auto [on_b, peer_b] = testing::LoopbackPair();
  uint16_t port_a = GetLocalPort(on_a.handle()), port_b = GetLocalPort(on_b.handle());
  Write("maplink.ip", "127.0.0.1:" + std::to_string(port_a) + "\n");
  AddressList list;
  ASSERT_TRUE(LoadAddressList("maplink.ip", list, true));
  EXPECT_TRUE(CheckClientOrDeny(on_a, list));
  EXPECT_GT(on_a.handle(), 2);
  EXPECT_FALSE(CheckClientOrDeny(on_b, list));
  EXPECT_EQ(on_b.handle(), -1);
  EXPECT_EQ(ReadWholeFile(kDenialLogName).value_or(""),
            "127.0.0.1 #" + std::to_string(port_b) + "\n");
  WarnDeniedClient("10.0.0.7", 3128);
  EXPECT_EQ(ReadWholeFile(kDenialLogName).value_or(""),
            "127.0.0.1 #" + std::to_string(port_b) + "\n10.0.0.7 #3128\n");
  SetLogProc(nullptr);
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0], "WARNING! 127.0.0.1 Access denied to port " + std::to_string(port_b));
  EXPECT_EQ(logged[1], "WARNING! 10.0.0.7 Access denied to port 3128");
  // A client that has gone is refused without a warning.
  CloseSocketVar(peer_a);
  ASSERT_TRUE(testing::WaitUntil([&] { return !IsConnectionAlive(on_a); }, 2000));
  EXPECT_FALSE(CheckClientOrDeny(on_a, list));
  EXPECT_EQ(logged.size(), 2u);
}

TEST_F(ListFileTest, UdpAdmission) {
  Write("mapulink.ip", "127.0.0.*\n");
  AddressList list;
  ASSERT_TRUE(LoadAddressList("mapulink.ip", list, true));
  int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in client{};
  client.sin_family = AF_INET;
  client.sin_addr.s_addr = inet_addr("127.0.0.9");
  EXPECT_TRUE(ClientAllowedUdp(udp, client, list));
  client.sin_addr.s_addr = inet_addr("10.0.0.9");
  SetLogProc([](const std::string& m) { return m; });
  EXPECT_FALSE(ClientAllowedUdp(udp, client, list));
  SetLogProc(nullptr);
  EXPECT_EQ(ReadWholeFile(kDenialLogName).value_or(""), "10.0.0.9 #0\n");
  close(udp);
}

TEST_F(ListFileTest, DialForAndLocalHosts) {
  auto [ours, peer] = testing::LoopbackPair();
  EXPECT_TRUE(IsDialForClient(nullptr));
  EXPECT_FALSE(IsDialForClient(&ours));  // no dialfor.ip: nobody dials
  Write("dialfor.ip", "127.0.0.1\n");
  now_ += 100;
  EXPECT_TRUE(IsDialForClient(&ours));
  EXPECT_FALSE(IsLocalHostName("mail"));
  Write("local.hst", "mail\nintranet ; our server\n");
  now_ += 100;
  EXPECT_TRUE(IsLocalHostName("mail"));
  EXPECT_TRUE(IsLocalHostName("intranet"));
  EXPECT_FALSE(IsLocalHostName("Mail"));
  EXPECT_FALSE(IsLocalHostName("mail.example"));
}

TEST(TextListTest, NumberedFromOne) {
  TextList list;
  list.Add("b");
  list.Insert(1, "a");
  list.Add(std::string(300, 'c'));
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Get(1), "a");
  EXPECT_EQ(list.Get(3).size(), 255u);
  list.Put(2, "B");
  list.Delete(3);
  list.Delete(9);
  EXPECT_EQ(list.items(), (std::vector<std::string>{"a", "B"}));
  EXPECT_EQ(list.Get(0), "");
}

}  // namespace
}  // namespace netrove
