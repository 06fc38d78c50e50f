// Address lists, admission, the DNS cache in a hosts file of the test's own
// (never /etc/hosts), and connecting.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "lib/net_context.h"
#include "net/address_match.h"
#include "net/ftp_passive.h"
#include "runtime/clock.h"

namespace netrove {
namespace {

using namespace netrove::testing;

// Tuesday 2 January 2024, 00:00 local time.
constexpr int64_t kTuesday = 19724LL * 86400;

// Client 10.0.0.55 on port 3128, a Tuesday at 18:00. Windows before the
// address must all hold; an end hour of 0 means 24; across midnight never.
TEST(AddressMatchTest, PatternsPortsAndWindows) {
  const int64_t at = kTuesday + 18 * 3600;
  for (const char* entry :
       {"10.0.0.55", "10.0.0.*", "10.*", "*", "#10.0.0.55", "10.0.0.55:3128",
        "12345.09:00-18:00,10.0.0.*", "2.00:00-23:00,17:00-19:00,10.0.0.55", "18:00-19:00,*",
        "17:00-00:00,*", "17:00-0:30,*", " 2 . 1 8 : 00 - 19:00\t,*"})
    EXPECT_TRUE(MatchAddressEntry("10.0.0.55.", entry, 3128, at)) << entry;
  for (const char* entry : {"10.0.0.5", "10.0.1.*", "10.0", "", "010.0.0.55", "10.0.0.55:8080",
                            "10.0.0.55:", "10.0.0.55:31x8", "10.0.0.55.99", "10.0.0.*.*",
                            "2.00:00-23:00,19:00-20:00,10.0.0.55"})
    EXPECT_FALSE(MatchAddressEntry("10.0.0.55.", entry, 3128, at)) << entry;
  for (std::string window :
       {"12345.09:00-17:59", "06.00:00-23:00", "18:01-19:00", "17:00-02:00", "-", "18:00",
        "18:00-19", "18-19:00", "ab:cd-ef:gh", "1.:-:", "7.09:00-18:00", "12345.09:00-18:0x",
        "09:00-18:00-19:00", "25:00-26:00", "99:99-99:99"})
    EXPECT_FALSE(MatchAddressEntry("10.0.0.55.", window + ",*", 3128, at)) << window;
  EXPECT_TRUE(MatchAddressEntry("10.0.0.55.", "10.0.0.*:0", 0, at));
  EXPECT_TRUE(AddressPatternTooLong("9:00-17:00,127.0.0.2.99:80"));
  EXPECT_FALSE(AddressPatternTooLong("9:00-17:00,127.0.0.2:80"));
}

TEST(ParseHostTextTest, SchemePortPathAndDefaults) {
  auto parse = [](const char* text, uint16_t default_port) {
    auto t = ParseHostText(text, default_port);
    return t ? t->name + ":" + std::to_string(t->port) : "none";
  };
  EXPECT_EQ(parse("http://www.example.org:8080/index.html", 80), "www.example.org:8080");
  EXPECT_EQ(parse("www.example.org:http/x", 80), "www.example.org:80");   // not a number
  EXPECT_EQ(parse("mail.example.org:99999", 25), "mail.example.org:25");  // out of range
  EXPECT_EQ(parse("host:", 25), "host:25");
  EXPECT_EQ(parse("news.example.org\r\n", 119), "news.example.org:119");
  EXPECT_EQ(parse("ftp://a/b:21", 80), "a:80");  // the path goes before the port is looked for
  EXPECT_EQ(parse("", 80) + parse("\r\n\r\n", 80), "nonenone");
}

const char kHosts[] =
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

class AddressTest : public ::testing::Test {
 protected:
  AddressTest() {
    env_.SetLocalSeconds(kTuesday + 18 * 3600);
    ctx_.config.Update([](ConfigRecord& c) { c.cache_dns_day = 3; });
    WriteFile(hosts_, kHosts);
    resolver_.LoadHostsFile();
  }
  uint32_t Expiry() { return NowSeconds(env_) + 3 * 86400; }
  bool Load(const std::string& name, AddressList& list) {
    return LoadAddressList(env_, ctx_.log, name, list, true);
  }

  std::atomic<int> lookups_{0};
  NetTestContext ctx_{[this](NetOptions& o) {
    o.host_lookup = [this](const std::string& name) -> uint32_t {
      ++lookups_;
      if (name == "alpha.example") return inet_addr("10.1.2.3");
      if (name == "beta.example") return inet_addr("10.1.2.4");
      if (name == "loop.test") return htonl(INADDR_LOOPBACK);
      return name == "nowhere.test" ? kNoAddress : inet_addr("10.6.6.6");
    };
  }};
  TestEnv& env_ = ctx_.real_env;
  Access& access_ = ctx_.net.access();
  Resolver& resolver_ = ctx_.net.resolver();
  Connector& connector_ = ctx_.net.connector();
  const std::string hosts_ = ctx_.scratch / "hosts";
};

TEST(ParsePassiveReplyTest, SixNumbersInParentheses) {
  for (auto [reply, address, port] : std::vector<std::tuple<const char*, const char*, uint16_t>>{
           {"227 Entering Passive Mode (127,0,0,1,4,1).", "127.0.0.1", 1025},
           {"227 =( 10, 1,2,3 ,255,255)", "10.1.2.3", 65535}}) {
    std::optional<PassiveTarget> got = ParsePassiveReply(reply);
    ASSERT_TRUE(got) << reply;
    EXPECT_EQ(got->address + ":" + std::to_string(got->port),
              address + (":" + std::to_string(port)));
  }
  // No "(", no ")", five or seven numbers, a number out of range, with leading zeros, negative or
  // missing, the extended form, nothing.
  for (const char* refused :
       {"227 Entering Passive Mode 127,0,0,1,4,1", "227 (127,0,0,1,4,1", "227 (127,0,0,1,4)",
        "227 (127,0,0,1,4,1,7)", "227 (127,0,0,256,4,1)", "227 (127,0,0,1,4,0001)",
        "227 (127,0,0,-1,4,1)", "227 (127,0,,1,4,1)",
        "229 Entering Extended Passive Mode (|||6446|)", ""})
    EXPECT_FALSE(ParsePassiveReply(refused)) << refused;
}

TEST_F(AddressTest, MarkedLinesAreRewrittenAwayAndReloadsAreLazyAndWhole) {
  WriteFile("proxy.ip", "#10.0.0.9\n192.168.0.*  ; office\r\n\t10.0.0.5 \t\n;only a comment\n");
  AddressList list;
  EXPECT_TRUE(Load("proxy.ip", list));
  EXPECT_EQ(ctx_.Read("proxy.ip"), "192.168.0.*\n10.0.0.5\n");
  EXPECT_EQ(list.Snapshot()->entries, (std::vector<std::string>{"192.168.0.*", "10.0.0.5"}));
  EXPECT_TRUE(ReloadAddressList(env_, ctx_.log, list));  // its own rewrite brings nothing new
  auto first = list.Snapshot();
  // Not looked at within 30 seconds, then replaced whole.
  WriteFile("proxy.ip", "10.0.0.2 ; admin\n10.0.0.3\n");
  env_.AdvanceLocal(10);
  EXPECT_TRUE(ReloadAddressList(env_, ctx_.log, list));
  EXPECT_EQ(list.Snapshot()->entries, first->entries);
  env_.AdvanceLocal(21);
  EXPECT_TRUE(ReloadAddressList(env_, ctx_.log, list));
  EXPECT_EQ(list.Snapshot()->entries, (std::vector<std::string>{"10.0.0.2", "10.0.0.3"}));
  EXPECT_EQ(first->entries[0], "192.168.0.*");  // a reader of the old list is unaffected
  EXPECT_EQ(ctx_.Read("proxy.ip"), "10.0.0.2 ; admin\n10.0.0.3\n");
  AddressList missing;
  EXPECT_FALSE(Load("nntp.ip", missing));
  EXPECT_TRUE(missing.Snapshot()->entries.empty());
  // Lines of garbage never match.
  WriteFile("socks4.ip", std::string("\x00\xff\x01\x7f;\n", 6) + std::string(5000, 'x') +
                             "\n99:99-99:99,1.2.3.4\n25:00-26:00,*\n12345.ab:cd-10:00,*\n" +
                             "*:notaport\n\xc3\xa9.\xe2\x82\xac.*.*\n,,,,\n:\n.\n");
  EXPECT_TRUE(Load("socks4.ip", list));
  ASSERT_GE(list.Snapshot()->entries.size(), 8u);
  for (const std::string& entry : list.Snapshot()->entries)
    EXPECT_FALSE(MatchAddressEntry("1.2.3.4.", entry, 1080, kTuesday)) << entry;
}

TEST_F(AddressTest, AdmissionByPortAndTheDenialLog) {
  auto [on_a, peer_a] = ctx_.LoopbackPair();
  auto [on_b, peer_b] = ctx_.LoopbackPair();
  const std::string port_a = std::to_string(GetLocalPort(on_a.handle()));
  const std::string port_b = std::to_string(GetLocalPort(on_b.handle()));
  WriteFile("maplink.ip", "127.0.0.1:" + port_a + "\n127.0.0.1.5\n127.0.0.1.6\n");
  AddressList list;
  ASSERT_TRUE(Load("maplink.ip", list));
  EXPECT_EQ(ctx_.Lines(),
            std::vector<std::string>{"Warning: maplink.ip: \"127.0.0.1.5\" has "
                                     "more than four address parts and admits nobody"});
  WriteFile("authpass.usr", "a.b c.d.e.f.g 10.0.0.*\n");  // dots of a user line
  AddressList users;
  ASSERT_TRUE(LoadAddressList(env_, ctx_.log, "authpass.usr", users, false, false));
  EXPECT_EQ(ctx_.Lines().size(), 1u);
  EXPECT_TRUE(access_.CheckClientOrDeny(on_a, list));
  EXPECT_TRUE(on_a.is_open());
  EXPECT_FALSE(access_.CheckClientOrDeny(on_b, list));
  EXPECT_EQ(on_b.handle(), -1);
  EXPECT_EQ(ctx_.Read(kDenialLogName), "127.0.0.1 #" + port_b + "\n");
  EXPECT_EQ(ctx_.Lines().back(), "WARNING! 127.0.0.1 Access denied to port " + port_b);
  // A client that has gone is refused without a warning.
  CloseSocketVar(peer_a);
  ASSERT_TRUE(WaitUntil([fd = on_a.handle()] {  // its close has arrived
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  }));
  EXPECT_FALSE(access_.CheckClientOrDeny(on_a, list));
  EXPECT_EQ(ctx_.Lines().size(), 2u);
  // A scan: a few lines, then the rest summed up.
  for (int i = 0; i < 50; ++i) access_.WarnDeniedClient("10.0.0.9", 23);
  access_.FlushRefusalSummaries(true);
  const std::string summary = "\xe2\x80\xa6 47 further attempts from 10.0.0.9";
  std::string denials = ctx_.Read(kDenialLogName);
  EXPECT_EQ(denials.substr(denials.find("10.0.0.9")),
            "10.0.0.9 #23\n10.0.0.9 #23\n10.0.0.9 #23\n" + summary + "\n");
  EXPECT_EQ(ctx_.Lines().size(), 2u + 3u + 1u);
  EXPECT_EQ(ctx_.Lines().back(), summary);
}

// A new name appends a line, the rest kept byte for byte; an expired line
// goes on the next resolution; an edit from outside is not overwritten.
TEST_F(AddressTest, HostsFileCache) {
  chmod(hosts_.c_str(), 0640);
  EXPECT_EQ(resolver_.Resolve("192.168.0.7"), inet_addr("192.168.0.7"));
  EXPECT_EQ(lookups_.load(), 0);
  EXPECT_EQ(resolver_.Resolve("nowhere.test"), kNoAddress);
  for (const char* unsafe : {"bad name", "x\n10.0.0.1 bank", "under_score", "tab\there"})
    EXPECT_EQ(resolver_.Resolve(unsafe), inet_addr("10.6.6.6")) << unsafe;
  env_.SetDiskFull(true);
  EXPECT_EQ(resolver_.Resolve("alpha.example"), inet_addr("10.1.2.3"));
  env_.SetDiskFull(false);
  EXPECT_EQ(ctx_.Read(hosts_), kHosts);
  EXPECT_EQ(resolver_.Resolve("alpha.example"), inet_addr("10.1.2.3"));
  const std::string cached = kHosts + CacheLine("10.1.2.3", "alpha.example", Expiry());
  EXPECT_EQ(ctx_.Read(hosts_), cached);
  struct stat st;
  EXPECT_TRUE(stat(hosts_.c_str(), &st) == 0 && (st.st_mode & 0777) == 0640);
  // Again before the expiry: from the file, as are the file's own names.
  env_.AdvanceLocal(3600);
  const int lookups = lookups_;
  EXPECT_EQ(resolver_.Resolve("alpha.example"), inet_addr("10.1.2.3"));
  EXPECT_EQ(resolver_.Resolve("PRINTER"), inet_addr("10.0.0.1"));
  EXPECT_EQ(lookups_.load(), lookups);
  EXPECT_EQ(ctx_.Read(hosts_), cached);

  env_.AdvanceLocal(3 * 86400 + 1 - 3600);
  ASSERT_NE(resolver_.Resolve("alpha.example"), kNoAddress);  // expired: asked again
  EXPECT_EQ(lookups_.load(), lookups + 1);
  const std::string fresh = kHosts + CacheLine("10.1.2.3", "alpha.example", Expiry());
  EXPECT_EQ(ctx_.Read(hosts_), fresh);  // "#" and malformed lines with the marker stay
  env_.AdvanceLocal(1);
  ASSERT_NE(resolver_.Resolve("beta.example"), kNoAddress);
  const std::string both = fresh + CacheLine("10.1.2.4", "beta.example", Expiry());
  EXPECT_EQ(ctx_.Read(hosts_), both);

  { std::ofstream(hosts_, std::ios::app) << "10.0.0.2 fileserver\n"; }
  ASSERT_NE(resolver_.Resolve("gamma.example"), kNoAddress);
  EXPECT_EQ(ctx_.Read(hosts_), both + "10.0.0.2 fileserver\n");
  EXPECT_EQ(resolver_.HostsLines().back(), "10.0.0.2 fileserver");
  ASSERT_NE(resolver_.Resolve("gamma.example"), kNoAddress);
  EXPECT_EQ(ctx_.Read(hosts_),
            both + "10.0.0.2 fileserver\n" + CacheLine("10.6.6.6", "gamma.example", Expiry()));
}

TEST_F(AddressTest, DefaultHostsFileAndTheLocalInterface) {
  unsetenv("NETROVE_HOSTS");
  setenv("NETROVE_HOME", ctx_.scratch.path().c_str(), 1);
  EXPECT_EQ(HostsFilePath(), hosts_);
  unsetenv("NETROVE_HOME");
  setenv("IPINTERFACENAME", "alpha.example", 1);
  resolver_.DetermineLocalInterface();
  EXPECT_EQ(resolver_.LocalInterfaceAddressText(), "10.1.2.3");
  EXPECT_EQ(ctx_.Read(hosts_), kHosts);
  unsetenv("IPINTERFACENAME");
  resolver_.DetermineLocalInterface();
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(resolver_.LocalInterfaceName(), host);
  resolver_.SetLocalInterfaceName("nowhere.test");
  EXPECT_EQ(resolver_.LocalInterfaceAddressText(), "127.0.0.1");
}

// Failed names and address:port pairs fail at once until the "Bad URL
// checker" empties the cache.
TEST_F(AddressTest, ConnectAndTheFailureCache) {
  uint16_t port = 0, closed = FreePort();
  int listener = BindLoopback(port);
  const int fds_before = CountOpenFds();
  for (std::string host : {"http://loop.test:" + std::to_string(port) + "/a/b?c",
                           "127.0.0.1:" + std::to_string(port)}) {
    SocketVar s = connector_.Connect(host, 80);
    ASSERT_GT(s.handle(), 2) << host;
    EXPECT_TRUE(fcntl(s.handle(), F_GETFD) & FD_CLOEXEC) << host;
  }
  EXPECT_EQ(connector_.Connect("\r\n", 80).handle(), -1);
  EXPECT_EQ(lookups_.load(), 1);
  EXPECT_EQ(CountOpenFds(), fds_before);

  EXPECT_EQ(connector_.Connect("nowhere.test", 80).handle(), -1);
  EXPECT_EQ(connector_.Connect("http://nowhere.test:81/", 80).handle(), -1);
  EXPECT_EQ(lookups_.load(), 2);  // failed at once, no second look-up
  const std::string pair = "127.0.0.1:" + std::to_string(closed);
  EXPECT_EQ(connector_.Connect("loop.test:" + std::to_string(closed), 80).handle(), -1);
  int reopened = BindLoopback(closed);  // something listens there now
  EXPECT_EQ(connector_.Connect(pair, 80).handle(), -1);
  EXPECT_GT(connector_.Connect("loop.test:" + std::to_string(port), 80).handle(), 2);
  ctx_.SetTimings([](NetTimings& t) { t.bad_url_period_ms = 100; });
  ctx_.net.Start();
  Connector& connector = connector_;
  EXPECT_TRUE(WaitUntil([&] { return connector.FailedCount() == 0; }));
  EXPECT_GT(connector_.Connect(pair, 80).handle(), 2);
  close(reopened);
  close(listener);
}

TEST_F(AddressTest, StopRequestEndsAPendingConnect) {
  // A full accept queue leaves further connects pending.
  uint16_t port = 0;
  int listener = BindLoopback(port, SOCK_STREAM, 0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_in a = LoopbackAddress("127.0.0.1", port);
    connect(fillers.back(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  const std::string pair = "127.0.0.1:" + std::to_string(port);
  std::atomic<int> result{0};
  TaskHandle task = ctx_.tasks.Start("connector", [&](uint32_t) -> uint32_t {
    result = connector_.Connect(pair, 80).handle();
    return 0;
  });
  std::this_thread::sleep_for(Ms(200));  // let it block
  EXPECT_LT(MsTaken([&] { Tasks::Stop(task); }), 1000);
  EXPECT_EQ(result.load(), -1);
  EXPECT_FALSE(connector_.FailedCached(pair));  // a stop is not the host's fault
  for (int c : fillers) close(c);
  close(listener);
}

}  // namespace
}  // namespace netrove
