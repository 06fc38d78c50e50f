// The DNS cache in a hosts file of the test's own (never /etc/hosts).
#include "net/resolver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "accounting/clock.h"
#include "config/config.h"
#include "net/socket.h"
#include "net_test_util.h"
#include "runtime/files.h"
#include "runtime/local_clock.h"

namespace netrove {
namespace {

constexpr int64_t kStart = 1700000000;  // a local time in 2023

class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hosts_ = scratch_.path() + "/hosts";
    setenv("NETROVE_HOSTS", hosts_.c_str(), 1);
    now_ = kStart;
    SetLocalClockForTesting([this] { return now_; });
    SetHostLookupForTesting([this](const std::string& name) -> uint32_t {
      ++lookups_;
      if (name == "alpha.example") return inet_addr("10.1.2.3");
      if (name == "beta.example") return inet_addr("10.1.2.4");
      if (name == "bad name") return inet_addr("10.6.6.6");
      return kNoAddress;
    });
    UpdateConfig([](ConfigRecord& c) { c.cache_dns_day = 3; });
  }
  void TearDown() override {
    SetHostLookupForTesting(nullptr);
    SetLocalClockForTesting(nullptr);
    unsetenv("NETROVE_HOSTS");
    UpdateConfig([](ConfigRecord& c) { c.cache_dns_day = 3; });
  }
  void WriteHosts(const std::string& text) {
    std::ofstream(hosts_, std::ios::binary) << text;
    LoadHostsFile();
  }
  std::string Hosts() { return ReadWholeFile(hosts_).value_or("<missing>"); }
  std::string CacheLine(const std::string& addr, const std::string& name, uint32_t expiry) {
    char hex[9];
    snprintf(hex, sizeof hex, "%08X", expiry);
    return addr + " " + name + " # URL cache " + hex;
  }

  testing::ScratchDir scratch_;
  std::string hosts_;
  int64_t now_;
  int lookups_ = 0;
};

const char kOriginal[] =
    "# hosts of the test machine\n"
    "127.0.0.1\tlocalhost   \r\n"
    "\n"
    "#10.9.9.9 old.example # URL cache 00000001\n"
    "  10.0.0.1 printer\n";

TEST_F(ResolverTest, DottedAddressNeverTouchesTheFile) {
  WriteHosts(kOriginal);
  EXPECT_EQ(ResolveHost("192.168.0.7"), inet_addr("192.168.0.7"));
  EXPECT_EQ(lookups_, 0);
  EXPECT_EQ(Hosts(), kOriginal);
}

TEST_F(ResolverTest, NewNameAppendsOneLineAndKeepsTheRestByteForByte) {
  WriteHosts(kOriginal);
  chmod(hosts_.c_str(), 0640);
  EXPECT_EQ(ResolveHost("alpha.example"), inet_addr("10.1.2.3"));
  uint32_t expiry = NowSeconds() + 3 * 86400;
  EXPECT_EQ(Hosts(),
            std::string(kOriginal) + CacheLine("10.1.2.3", "alpha.example", expiry) + "\n");
  struct stat st;
  ASSERT_EQ(stat(hosts_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // Again before the expiry: nothing changes.
  now_ += 3600;
  std::string before = Hosts();
  EXPECT_EQ(ResolveHost("alpha.example"), inet_addr("10.1.2.3"));
  EXPECT_EQ(Hosts(), before);
  EXPECT_EQ(lookups_, 2);
  // Unknown names: -1 and no line.
  EXPECT_EQ(ResolveHost("unknown.example"), kNoAddress);
  EXPECT_EQ(Hosts(), before);
}

TEST_F(ResolverTest, ExpiredLinesGoOnTheNextResolutionOfAnyName) {
  WriteHosts(kOriginal);
  ASSERT_NE(ResolveHost("alpha.example"), kNoAddress);
  uint32_t first_expiry = NowSeconds() + 3 * 86400;
  now_ += 3 * 86400 + 1;
  ASSERT_NE(ResolveHost("beta.example"), kNoAddress);
  std::string beta = CacheLine("10.1.2.4", "beta.example", NowSeconds() + 3 * 86400);
  EXPECT_EQ(Hosts(), std::string(kOriginal) + beta + "\n");  // "#" line with the marker kept
  // The expired name resolved again gets a fresh line.
  ASSERT_NE(ResolveHost("alpha.example"), kNoAddress);
  std::string alpha = CacheLine("10.1.2.3", "alpha.example", NowSeconds() + 3 * 86400);
  EXPECT_NE(alpha, CacheLine("10.1.2.3", "alpha.example", first_expiry));
  EXPECT_EQ(Hosts(), std::string(kOriginal) + beta + "\n" + alpha + "\n");
}

TEST_F(ResolverTest, ZeroCacheDaysExpireAtOnce) {
  UpdateConfig([](ConfigRecord& c) { c.cache_dns_day = 0; });
  WriteHosts("127.0.0.1 localhost\n");
  ASSERT_NE(ResolveHost("alpha.example"), kNoAddress);
  EXPECT_EQ(Hosts(),
            "127.0.0.1 localhost\n" + CacheLine("10.1.2.3", "alpha.example", NowSeconds()) + "\n");
  now_ += 1;
  EXPECT_EQ(ResolveHost("unknown.example"), kNoAddress);  // unresolved: the cache is not touched
  ASSERT_NE(ResolveHost("beta.example"), kNoAddress);
  EXPECT_EQ(Hosts(),
            "127.0.0.1 localhost\n" + CacheLine("10.1.2.4", "beta.example", NowSeconds()) + "\n");
}

TEST_F(ResolverTest, OutsideEditRefusesTheRewriteThenReloads) {
  WriteHosts("127.0.0.1 localhost\n");
  // Another program edits the file after it was read.
  { std::ofstream(hosts_, std::ios::app) << "10.0.0.2 fileserver\n"; }
  const std::string edited = "127.0.0.1 localhost\n10.0.0.2 fileserver\n";
  ASSERT_NE(ResolveHost("alpha.example"), kNoAddress);
  EXPECT_EQ(Hosts(), edited);  // not overwritten
  std::vector<std::string> lines = HostsLines();
  ASSERT_EQ(lines.size(), 2u);  // reread from disk
  EXPECT_EQ(lines[1], "10.0.0.2 fileserver");
  // The next resolution adds the entry to the edited file.
  ASSERT_NE(ResolveHost("alpha.example"), kNoAddress);
  EXPECT_EQ(Hosts(),
            edited + CacheLine("10.1.2.3", "alpha.example", NowSeconds() + 3 * 86400) + "\n");
}

TEST_F(ResolverTest, UnsafeNamesAndTheLocalInterfaceAreNotCached) {
  WriteHosts("127.0.0.1 localhost\n");
  EXPECT_EQ(ResolveHost("bad name"), inet_addr("10.6.6.6"));
  EXPECT_EQ(Hosts(), "127.0.0.1 localhost\n");
  EXPECT_FALSE(CacheableName("a\nb"));
  EXPECT_FALSE(CacheableName(""));
  EXPECT_TRUE(CacheableName("mail-1.example.org"));
  std::string old_name = LocalInterfaceName();
  SetLocalInterfaceName("alpha.example");
  EXPECT_EQ(LocalInterfaceAddress(), inet_addr("10.1.2.3"));
  EXPECT_EQ(LocalInterfaceAddressText(), "10.1.2.3");
  EXPECT_EQ(Hosts(), "127.0.0.1 localhost\n");
  SetLocalInterfaceName("unknown.example");
  EXPECT_EQ(LocalInterfaceAddressText(), "127.0.0.1");
  SetLocalInterfaceName(old_name);
}

TEST_F(ResolverTest, UnwritableHostsFileLeavesResolutionWorking) {
  WriteHosts("127.0.0.1 localhost\n");
  ASSERT_EQ(chmod(scratch_.path().c_str(), 0500), 0);
  if (geteuid() == 0) {
    // root writes anyway; make the path a directory's child that cannot exist
    setenv("NETROVE_HOSTS", (scratch_.path() + "/nodir/hosts").c_str(), 1);
    LoadHostsFile();
  }
  EXPECT_EQ(ResolveHost("alpha.example"), inet_addr("10.1.2.3"));
  EXPECT_EQ(ResolveHost("alpha.example"), inet_addr("10.1.2.3"));
  chmod(scratch_.path().c_str(), 0700);
  EXPECT_EQ(Hosts(), "127.0.0.1 localhost\n");
}

TEST_F(ResolverTest, InterfaceNameFromTheEnvironment) {
  std::string old_name = LocalInterfaceName();
  setenv("IPINTERFACENAME", "192.168.5.1", 1);
  DetermineLocalInterface();
  EXPECT_EQ(LocalInterfaceName(), "192.168.5.1");
  EXPECT_EQ(LocalInterfaceAddressText(), "192.168.5.1");
  unsetenv("IPINTERFACENAME");
  DetermineLocalInterface();
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(LocalInterfaceName(), host);
  SetLocalInterfaceName(old_name);
}

TEST(HostsCacheTest, UpdateRules) {
  std::vector<std::string> lines = {
      "127.0.0.1 localhost", "#1.1.1.1 x # URL cache 00000001", "1.2.3.4 old # URL cache 00000010",
      "1.2.3.5 keep # URL cache 0000FFFF", "1.2.3.6 odd # URL cache zz"};
  EXPECT_TRUE(UpdateHostsCache(lines, "1.2.3.5", "keep", 0x20, 3));
  ASSERT_EQ(lines.size(), 4u);  // old expired; keep is current: no new line
  EXPECT_EQ(lines[2], "1.2.3.5 keep # URL cache 0000FFFF");
  EXPECT_EQ(lines[3], "1.2.3.6 odd # URL cache zz");
  EXPECT_FALSE(UpdateHostsCache(lines, "1.2.3.5", "keep", 0x20, 3));
  EXPECT_TRUE(UpdateHostsCache(lines, "1.2.3.7", "new", 0x20, 1));
  EXPECT_EQ(lines.back(), "1.2.3.7 new # URL cache 000151A0");
}

}  // namespace
}  // namespace netrove
