// The DNS cache in a hosts file of the test's own (never /etc/hosts).
#include "net/resolver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "lib/test_context.h"
#include "net/socket.h"
#include "runtime/clock.h"

namespace netrove {
namespace {

const char kOriginal[] =
    "# hosts of the test machine\n"
    "127.0.0.1\tlocalhost   \r\n"
    "\n"
    "#10.9.9.9 old.example # URL cache 00000001\n"
    "10.9.9.8 odd.example # URL cache zz\n"
    "  10.0.0.1 printer\n";

std::string CacheLine(const std::string& addr, const std::string& name, uint32_t expiry) {
  char hex[9];
  snprintf(hex, sizeof hex, "%08X", expiry);
  return addr + " " + name + " # URL cache " + hex + "\n";
}

class ResolverTest : public ::testing::Test {
 protected:
  ResolverTest() {
    ctx_.real_env.SetLocalSeconds(1700000000);  // a local time in 2023
    ctx_.config.Update([](ConfigRecord& c) { c.cache_dns_day = 3; });
    WriteHosts(kOriginal);
  }
  void WriteHosts(const std::string& text) {
    std::ofstream(hosts_, std::ios::binary) << text;
    resolver_.LoadHostsFile();
  }
  std::string Hosts() { return ctx_.env.ReadFile(hosts_, 1 << 20).value_or("<missing>"); }
  uint32_t Expiry() { return NowSeconds(ctx_.env) + 3 * 86400; }

  testing::TestContext ctx_;
  const std::string hosts_ = ctx_.scratch / "hosts";
  int lookups_ = 0;
  Resolver resolver_{ctx_.env, ctx_.config,
                     [this](const std::string& name) -> uint32_t {
                       ++lookups_;
                       if (name == "alpha.example") return inet_addr("10.1.2.3");
                       if (name == "beta.example") return inet_addr("10.1.2.4");
                       return name == "unknown.example" ? kNoAddress : inet_addr("10.6.6.6");
                     },
                     hosts_};
};

TEST_F(ResolverTest, NewNameAppendsOneLineAndKeepsTheRestByteForByte) {
  chmod(hosts_.c_str(), 0640);
  // Dotted addresses, unresolved names and names unfit for a hosts line
  // leave the file alone.
  EXPECT_EQ(resolver_.Resolve("192.168.0.7"), inet_addr("192.168.0.7"));
  EXPECT_EQ(lookups_, 0);
  EXPECT_EQ(resolver_.Resolve("unknown.example"), kNoAddress);
  for (const char* unsafe : {"bad name", "x\n10.0.0.1 bank", "under_score", "tab\there"})
    EXPECT_EQ(resolver_.Resolve(unsafe), inet_addr("10.6.6.6")) << unsafe;
  EXPECT_EQ(Hosts(), kOriginal);

  EXPECT_EQ(resolver_.Resolve("alpha.example"), inet_addr("10.1.2.3"));
  const std::string cached = kOriginal + CacheLine("10.1.2.3", "alpha.example", Expiry());
  EXPECT_EQ(Hosts(), cached);
  struct stat st;
  ASSERT_EQ(stat(hosts_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // Again before the expiry: answered from the file, which stays as it is;
  // so are the file's own names.
  ctx_.real_env.AdvanceLocal(3600);
  const int lookups = lookups_;
  EXPECT_EQ(resolver_.Resolve("alpha.example"), inet_addr("10.1.2.3"));
  EXPECT_EQ(resolver_.Resolve("PRINTER"), inet_addr("10.0.0.1"));
  EXPECT_EQ(lookups_, lookups);
  EXPECT_EQ(Hosts(), cached);
}

// Without NETROVE_HOSTS the cache is "hosts" in the program directory:
// the system's /etc/hosts is never touched by default.
TEST_F(ResolverTest, DefaultHostsFileIsTheProgramDirectorys) {
  unsetenv("NETROVE_HOSTS");
  setenv("NETROVE_HOME", ctx_.scratch.path().c_str(), 1);
  EXPECT_EQ(HostsFilePath(), hosts_);
  unsetenv("NETROVE_HOME");
}

TEST_F(ResolverTest, ExpiredLinesGoOnTheNextResolutionOfAnyName) {
  ASSERT_NE(resolver_.Resolve("alpha.example"), kNoAddress);
  ctx_.real_env.AdvanceLocal(3 * 86400 + 1);
  ASSERT_NE(resolver_.Resolve("beta.example"), kNoAddress);
  const std::string beta = CacheLine("10.1.2.4", "beta.example", Expiry());
  EXPECT_EQ(Hosts(), kOriginal + beta);  // "#" and malformed lines with the marker are kept
  ctx_.real_env.AdvanceLocal(1);
  ASSERT_NE(resolver_.Resolve("alpha.example"), kNoAddress);  // a fresh line for it
  EXPECT_EQ(Hosts(), kOriginal + beta + CacheLine("10.1.2.3", "alpha.example", Expiry()));
}

TEST_F(ResolverTest, OutsideEditRefusesTheRewriteThenReloads) {
  { std::ofstream(hosts_, std::ios::app) << "10.0.0.2 fileserver\n"; }
  const std::string edited = kOriginal + std::string("10.0.0.2 fileserver\n");
  ASSERT_NE(resolver_.Resolve("alpha.example"), kNoAddress);
  EXPECT_EQ(Hosts(), edited);  // not overwritten, but read again
  EXPECT_EQ(resolver_.HostsLines().back(), "10.0.0.2 fileserver");
  ASSERT_NE(resolver_.Resolve("alpha.example"), kNoAddress);
  EXPECT_EQ(Hosts(), edited + CacheLine("10.1.2.3", "alpha.example", Expiry()));
}

TEST_F(ResolverTest, UnwritableHostsFileLeavesResolutionWorking) {
  ctx_.real_env.SetDiskFull(true);
  EXPECT_EQ(resolver_.Resolve("alpha.example"), inet_addr("10.1.2.3"));
  EXPECT_EQ(resolver_.Resolve("alpha.example"), inet_addr("10.1.2.3"));
  ctx_.real_env.SetDiskFull(false);
  EXPECT_EQ(Hosts(), kOriginal);
}

TEST_F(ResolverTest, LocalInterfaceFromTheEnvironmentOrTheHostName) {
  setenv("IPINTERFACENAME", "alpha.example", 1);
  resolver_.DetermineLocalInterface();
  EXPECT_EQ(resolver_.LocalInterfaceAddressText(), "10.1.2.3");
  EXPECT_EQ(Hosts(), kOriginal);  // the interface name is never cached
  unsetenv("IPINTERFACENAME");
  resolver_.DetermineLocalInterface();
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(resolver_.LocalInterfaceName(), host);
  resolver_.SetLocalInterfaceName("unknown.example");
  EXPECT_EQ(resolver_.LocalInterfaceAddressText(), "127.0.0.1");
}

}  // namespace
}  // namespace netrove
