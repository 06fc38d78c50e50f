// TCP and UDP port mappings on loopback: the not-started rules, hidden
// mappings, the UDP reply path and the link gate's balance. The relay,
// refusal and busy reports with curl and dig against the real program are
// in gates_e2e_test.py.
#include "gates/portmap.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "lib/net_context.h"

namespace netrove {
namespace {

using testing::ConnectLoopback;
using testing::FreePort;
using testing::ReadAll;
using testing::TcpOrigin;

void WriteFile(const std::string& name, const std::string& text) { std::ofstream(name) << text; }

std::string Denied(const char* address, uint16_t port) {
  return "WARNING! " + std::string(address) + " Access denied to port " + std::to_string(port);
}

// The link on-line, and mappings of the test's own configuration.
class PortMapTest : public ::testing::Test {
 protected:
  PortMapTest() { ctx_.shared.link_mode = kLinkOnline; }
  void TearDown() override {
    maps_.StopTcp();
    maps_.StopUdp();
    LinkUsers& users = ctx_.net.link_users();
    EXPECT_TRUE(testing::WaitUntil([&] { return users.Users() == 0; }));
  }
  void SetMappings(std::vector<std::string> tcp, std::vector<std::string> udp) {
    ctx_.config.Update([&](ConfigRecord& r) {
      r.map_link = tcp;
      r.map_ulink = udp;
    });
  }

  testing::NetTestContext ctx_;
  PortMaps maps_{ctx_.net, ctx_.log, ctx_.config};
};

TEST(MappingLineTest, PartsVisibilityAndUdpTargets) {
  auto check = [](const char* line, const char* target, bool hidden) {
    MappingLine m = SplitMappingLine(line);
    EXPECT_EQ(m.target, target) << line;
    EXPECT_EQ(m.hidden, hidden) << line;
  };
  check("8080,host:80,Show", "host:80", false);
  check("8080,host:80,Hide", "host:80", true);
  check("8080,host:80,h", "host:80", true);
  check("8080,host:80", "host:80", false);
  check("garbage", "", false);
  EXPECT_EQ(SplitMappingLine("8080,host:80").local_port, "8080");
  auto udp = [](const char* target) {
    auto t = ParseUdpTarget(target);
    return t ? t->host + " " + std::to_string(t->port) : "refused";
  };
  EXPECT_EQ(udp("ns.example:53"), "ns.example 53");
  EXPECT_EQ(udp("h:123456"), "h 12345");  // at most five digits
  for (const char* bad : {"h:0", "h:99999", ":53", "nohost"}) EXPECT_EQ(udp(bad), "refused") << bad;
}

TEST_F(PortMapTest, NotStartedWithoutListFileAndAnEmptyListRefusesEveryone) {
  TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\norigin page");
  const uint16_t port = FreePort();
  SetMappings({std::to_string(port) + "," + origin.host() + ",Show"}, {});
  maps_.StartTcp();  // no maplink.ip
  EXPECT_EQ(maps_.RunningTcp(), 0);
  EXPECT_TRUE(ctx_.Lines().empty());
  WriteFile("maplink.ip", "");
  maps_.StartTcp();
  maps_.StartTcp();  // already running: nothing more
  EXPECT_EQ(maps_.RunningTcp(), 1);
  int fd = ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadAll(fd, 3000), "");
  close(fd);
  EXPECT_TRUE(ctx_.WaitForLine(Denied("127.0.0.1", port)));
  EXPECT_EQ(origin.served(), 0);  // a refused client never reaches the target
}

TEST_F(PortMapTest, HiddenMappingListensOnTheLocalInterfaceOnly) {
  TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\nhidden");
  ctx_.net.resolver().SetLocalInterfaceName("127.0.0.3");
  const uint16_t port = FreePort();
  WriteFile("maplink.ip", "127.0.0.*\n");
  SetMappings({std::to_string(port) + "," + origin.host() + ",Hide"}, {});
  maps_.StartTcp();
  EXPECT_EQ(ConnectLoopback(port), -1);
  int fd = ConnectLoopback(port, "127.0.0.3");
  ASSERT_GE(fd, 0);
  send(fd, "GET /\r\n\r\n", 9, 0);
  EXPECT_EQ(ReadAll(fd, 3000), "HTTP/1.0 200 OK\r\n\r\nhidden");
  close(fd);
}

TEST_F(PortMapTest, UnreachableTargetClosesTheClientAndReleasesTheLink) {
  const uint16_t port = FreePort();
  WriteFile("maplink.ip", "127.0.0.1\n");
  SetMappings({std::to_string(port) + ",127.0.0.1:" + std::to_string(FreePort())}, {});
  maps_.StartTcp();
  int fd = ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadAll(fd, 3000), "");
  close(fd);
  // TearDown checks that the link users went back.
}

TEST_F(PortMapTest, UdpRelaysOnlyTheTargetsRepliesAndEndsAfterTheReplyLife) {
  uint16_t target_port = 0;
  const int target = testing::BindLoopback(target_port, SOCK_DGRAM);
  const int stranger = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const uint16_t port = FreePort(SOCK_DGRAM);
  const std::string line = std::to_string(port) + ",127.0.0.1:" + std::to_string(target_port);
  WriteFile("mapulink.ip", "127.0.0.1\n");  // found under either spelling
  maps_.SetUdpReplyLife(300);
  SetMappings({}, {line, line + ",Show"});
  maps_.StartUdp();
  EXPECT_TRUE(ctx_.Has("Maped UDP port " + std::to_string(port) +
                       ", linked to 127.0.0.1:" + std::to_string(target_port)));
  EXPECT_TRUE(ctx_.Has("!NOT! map port " + std::to_string(port) + ", port busy"));
  ASSERT_EQ(maps_.RunningUdp(), 1);

  // Sends "query" from `source` to the mapping; the target answers the
  // relay, and so does a stranger; returns what reached the client.
  auto exchange = [&](const char* source) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from = testing::LoopbackAddress(source, 0);
    sockaddr_in to = testing::LoopbackAddress("127.0.0.1", port);
    bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sendto(fd, "query", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    char buf[64];
    sockaddr_in relay{};
    socklen_t len = sizeof relay;
    struct pollfd p = {target, POLLIN, 0};
    if (poll(&p, 1, 500) == 1 &&
        recvfrom(target, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&relay), &len) == 5) {
      sendto(stranger, "stranger", 8, 0, reinterpret_cast<sockaddr*>(&relay), len);
      sendto(target, "re:query", 8, 0, reinterpret_cast<sockaddr*>(&relay), len);
    }
    std::string got = ReadAll(fd, 400);
    close(fd);
    return got;
  };
  EXPECT_EQ(exchange("127.0.0.1"), "re:query");
  // The relay lives while replies may come, then ends and gives the link back.
  PortMaps& maps = maps_;
  EXPECT_TRUE(testing::WaitUntil([&] { return maps.ActiveUdpRelays() == 0; }));
  EXPECT_EQ(ctx_.net.link_users().Users(), 0u);
  // A sender not admitted: nothing relayed, a warning and a denial line.
  EXPECT_EQ(exchange("127.0.0.2"), "");
  EXPECT_TRUE(ctx_.WaitForLine(Denied("127.0.0.2", port)));
  EXPECT_EQ(ctx_.env.ReadFile("access.ip.error.log", 4096).value_or(""),
            "127.0.0.2 #" + std::to_string(port) + "\n");
  close(target);
  close(stranger);
}

// One relay per client: a client that floods a DNS-like mapping with
// datagrams holds one relay, and another client is still answered at once.
TEST_F(PortMapTest, UdpFloodOfOneClientDoesNotStarveAnother) {
  uint16_t target_port = 0;
  const int target = testing::BindLoopback(target_port, SOCK_DGRAM);
  std::atomic<bool> done{false};
  std::thread echo([&] {  // answers everything, for a bounded time
    char buf[64];
    sockaddr_in from{};
    for (int i = 0; i < 100000 && !done; ++i) {
      socklen_t len = sizeof from;
      struct pollfd p = {target, POLLIN, 0};
      if (poll(&p, 1, 20) != 1) continue;
      ssize_t n = recvfrom(target, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n > 0)
        sendto(target, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  });
  const uint16_t port = FreePort(SOCK_DGRAM);
  WriteFile("MapULink.ip", "127.0.0.*\n");
  SetMappings({}, {std::to_string(port) + ",127.0.0.1:" + std::to_string(target_port)});
  maps_.StartUdp();
  const int flood = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to = testing::LoopbackAddress("127.0.0.1", port);
  for (int i = 0; i < kMaxUdpRelays + 100; ++i) {
    sendto(flood, "q", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // The socket's queue has room again (what the kernel dropped of the
  // flood is gone for good; a relay table full of this client would not be).
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int other = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in from = testing::LoopbackAddress("127.0.0.2", 0);
  bind(other, reinterpret_cast<sockaddr*>(&from), sizeof from);
  sendto(other, "other", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  EXPECT_EQ(ReadAll(other, 2000, 5), "other");
  EXPECT_LE(maps_.ActiveUdpRelays(), 2);
  // Stopping the TCP mappings (first, as the services do) never waits for
  // the UDP relays, which end only with their own mappings.
  ASSERT_GT(maps_.ActiveUdpRelays(), 0);
  auto start = testing::SteadyClock::now();
  maps_.StopTcp();
  EXPECT_LT(testing::MsSince(start), 500);
  done = true;
  echo.join();
  for (int fd : {flood, other, target}) close(fd);
}

}  // namespace
}  // namespace netrove
