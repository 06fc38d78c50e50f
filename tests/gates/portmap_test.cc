// TCP and UDP port mappings on loopback: relay, admission, busy ports,
// hidden mappings, the UDP reply path and the link gate's balance.
#include "gates/portmap.h"

#include <gtest/gtest.h>

#include <fstream>

#include "config/config.h"
#include "gates_test_util.h"
#include "net/link_users.h"
#include "net/net_settings.h"
#include "net/port_server.h"
#include "net/resolver.h"
#include "runtime/shared_state.h"

namespace netrove {
namespace {

using testing::ConnectFrom;
using testing::LogCapture;
using testing::LoopbackAddress;
using testing::ReadAll;
using testing::ScratchDir;
using testing::TcpOrigin;
using testing::WaitUntil;

void WriteFile(const std::string& name, const std::string& text) { std::ofstream(name) << text; }

std::string ReadFile(const std::string& name) {
  std::ifstream in(name);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void SetMappings(std::vector<std::string> tcp, std::vector<std::string> udp) {
  UpdateConfig([&](ConfigRecord& r) {
    r.map_link = tcp;
    r.map_ulink = udp;
  });
}

class PortMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("NETROVE_HOSTS", (scratch_.path() + "/hosts").c_str(), 1);
    NetTimings timings;
    timings.listener_poll_ms = 50;  // a listener added after a stop is served at once
    SetNetTimingsForTesting(timings);
    Shared().link_mode = kLinkOnline;
    base_users_ = LinkUsers();
  }
  void TearDown() override {
    StopTcpMappings();
    StopUdpMappings();
    SetMappings({}, {});
    SetUdpReplyLifeForTesting(300000);
    SetNetTimingsForTesting(NetTimings());
    EXPECT_TRUE(WaitUntil([&] { return LinkUsers() == base_users_; }, 3000));
    Shared().link_mode = kLinkIdle;
  }
  ScratchDir scratch_;
  uint32_t base_users_ = 0;
};

TEST(MappingLineTest, PartsAndVisibility) {
  MappingLine m = SplitMappingLine("8080,host:80,Show");
  EXPECT_EQ(m.local_port, "8080");
  EXPECT_EQ(m.target, "host:80");
  EXPECT_FALSE(m.hidden);
  EXPECT_TRUE(SplitMappingLine("8080,host:80,Hide").hidden);
  EXPECT_TRUE(SplitMappingLine("8080,host:80,h").hidden);
  EXPECT_FALSE(SplitMappingLine("8080,host:80").hidden);
  EXPECT_EQ(SplitMappingLine("8080,host:80").target, "host:80");
  EXPECT_EQ(SplitMappingLine("garbage").target, "");

  auto t = ParseUdpTarget("ns.example:53");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->host, "ns.example");
  EXPECT_EQ(t->port, 53);
  EXPECT_EQ(ParseUdpTarget("h:123456")->port, 12345);  // at most five digits
  EXPECT_FALSE(ParseUdpTarget("h:0"));
  EXPECT_FALSE(ParseUdpTarget("h:99999"));
  EXPECT_FALSE(ParseUdpTarget(":53"));
  EXPECT_FALSE(ParseUdpTarget("nohost"));
}

TEST_F(PortMapTest, ListFileFoundWithoutRegardToCase) {
  EXPECT_EQ(FindFileAnyCase("MapULink.ip"), "MapULink.ip");  // none there: the name itself
  WriteFile("mapulink.ip", "127.0.0.1\n");
  EXPECT_EQ(FindFileAnyCase("MapULink.ip"), "mapulink.ip");
  WriteFile("MapULink.ip", "127.0.0.1\n");
  EXPECT_EQ(FindFileAnyCase("MapULink.ip"), "MapULink.ip");  // the exact name wins
}

TEST_F(PortMapTest, RelaysAdmitsRefusesAndReportsBusyPorts) {
  TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\norigin page");
  uint16_t port = testing::FreeTcpPort();
  WriteFile("maplink.ip", "127.0.0.1\n");
  std::string target = "127.0.0.1:" + std::to_string(origin.port());
  SetMappings({std::to_string(port) + "," + target + ",Show",
               std::to_string(port) + ",127.0.0.1:9,Show", "notaport,127.0.0.1:9,Show"},
              {});
  LogCapture log;
  StartTcpMappings();
  EXPECT_TRUE(log.Has("Maped port " + std::to_string(port) + ", linked to " + target));
  EXPECT_TRUE(log.Has("!NOT! map port " + std::to_string(port) + ", port busy"));
  EXPECT_TRUE(log.Has("!NOT! map port notaport, port busy"));
  EXPECT_EQ(RunningTcpMappings(), 1);

  // Admitted: the origin's page comes back, the request went through whole.
  int fd = ConnectFrom("127.0.0.1", "127.0.0.1", port);
  ASSERT_GE(fd, 0);
  std::string request = "GET / HTTP/1.0\r\nX-Long: " + std::string(3000, 'x') + "\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  EXPECT_EQ(ReadAll(fd, 3000), "HTTP/1.0 200 OK\r\n\r\norigin page");
  close(fd);
  EXPECT_EQ(origin.last_request(), request);

  // Not admitted: closed at once, logged, and the denial line appended.
  fd = ConnectFrom("127.0.0.2", "127.0.0.1", port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadAll(fd, 3000), "");
  close(fd);
  std::string warning = "WARNING! 127.0.0.2 Access denied to port " + std::to_string(port);
  EXPECT_TRUE(log.WaitFor(warning, 2000));
  EXPECT_EQ(ReadFile("access.ip.error.log"), "127.0.0.2 #" + std::to_string(port) + "\n");
  EXPECT_EQ(origin.served(), 1);

  // A second start while running does nothing; after a stop the port is free
  // and a start maps it again.
  StartTcpMappings();
  EXPECT_EQ(RunningTcpMappings(), 1);
  StopTcpMappings();
  EXPECT_EQ(RunningTcpMappings(), 0);
  EXPECT_EQ(ConnectFrom("127.0.0.1", "127.0.0.1", port), -1);
  StartTcpMappings();
  EXPECT_EQ(RunningTcpMappings(), 1);
}

TEST_F(PortMapTest, NotStartedWithoutListFileOrLines) {
  uint16_t port = testing::FreeTcpPort();
  SetMappings({std::to_string(port) + ",127.0.0.1:9,Show"}, {});
  LogCapture log;
  StartTcpMappings();  // no maplink.ip
  EXPECT_EQ(RunningTcpMappings(), 0);
  EXPECT_TRUE(log.Lines().empty());
  WriteFile("maplink.ip", "");  // an empty list starts the mapping and refuses everyone
  StartTcpMappings();
  EXPECT_EQ(RunningTcpMappings(), 1);
  int fd = ConnectFrom("127.0.0.1", "127.0.0.1", port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadAll(fd, 3000), "");
  close(fd);
  EXPECT_TRUE(
      log.WaitFor("WARNING! 127.0.0.1 Access denied to port " + std::to_string(port), 2000));
}

TEST_F(PortMapTest, HiddenMappingListensOnTheLocalInterfaceOnly) {
  TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\nhidden");
  SetLocalInterfaceName("127.0.0.3");
  uint16_t port = testing::FreeTcpPort();
  WriteFile("maplink.ip", "127.0.0.*\n");
  SetMappings({std::to_string(port) + ",127.0.0.1:" + std::to_string(origin.port()) + ",Hide"}, {});
  StartTcpMappings();
  EXPECT_EQ(ConnectFrom("127.0.0.1", "127.0.0.1", port), -1);
  int fd = ConnectFrom("127.0.0.1", "127.0.0.3", port);
  ASSERT_GE(fd, 0);
  send(fd, "GET /\r\n\r\n", 9, 0);
  EXPECT_EQ(ReadAll(fd, 3000), "HTTP/1.0 200 OK\r\n\r\nhidden");
  close(fd);
}

TEST_F(PortMapTest, UnreachableTargetClosesTheClientAndReleasesTheLink) {
  uint16_t port = testing::FreeTcpPort();
  uint16_t closed = testing::FreeTcpPort();
  WriteFile("maplink.ip", "127.0.0.1\n");
  SetMappings({std::to_string(port) + ",127.0.0.1:" + std::to_string(closed)}, {});
  StartTcpMappings();
  int fd = ConnectFrom("127.0.0.1", "127.0.0.1", port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadAll(fd, 3000), "");
  close(fd);
  // TearDown checks LinkUsers went back.
}

// A UDP target: answers each datagram with "re:" + datagram from its own
// socket, and first with a decoy from a different socket.
class UdpTargetServer {
 public:
  UdpTargetServer() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    decoy_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress("127.0.0.1", 0);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    port_ = testing::BoundPort(fd_);
    thread_ = std::thread([this] {
      while (!stop_) {
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[2048];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        std::string reply = "re:" + std::string(buf, static_cast<size_t>(n));
        sendto(decoy_, "decoy", 5, 0, reinterpret_cast<sockaddr*>(&from), len);
        sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        ++served_;
      }
    });
  }
  ~UdpTargetServer() {
    stop_ = true;
    thread_.join();
    close(fd_);
    close(decoy_);
  }
  uint16_t port() const { return port_; }
  int served() const { return served_.load(); }

 private:
  int fd_, decoy_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> served_{0};
  std::thread thread_;
};

// Sends `text` from `source` to 127.0.0.1:port; the replies within `ms`.
std::vector<std::string> UdpExchange(const char* source, uint16_t port, const std::string& text,
                                     int ms) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in from = LoopbackAddress(source, 0);
  sockaddr_in to = LoopbackAddress("127.0.0.1", port);
  bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
  sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  std::vector<std::string> replies;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buf[2048];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n >= 0) replies.emplace_back(buf, static_cast<size_t>(n));
  }
  close(fd);
  return replies;
}

TEST_F(PortMapTest, UdpRelaysOnlyTheTargetsRepliesAndEndsAfterTheReplyLife) {
  UdpTargetServer target;
  uint16_t port = testing::FreeUdpPort();
  WriteFile("mapulink.ip", "127.0.0.1\n");  // found under either spelling
  SetUdpReplyLifeForTesting(300);
  std::string target_text = "127.0.0.1:" + std::to_string(target.port());
  SetMappings({}, {std::to_string(port) + "," + target_text});
  LogCapture log;
  StartUdpMappings();
  EXPECT_TRUE(log.Has("Maped UDP port " + std::to_string(port) + ", linked to " + target_text));
  ASSERT_EQ(RunningUdpMappings(), 1);

  std::vector<std::string> replies = UdpExchange("127.0.0.1", port, "query", 600);
  EXPECT_EQ(replies, std::vector<std::string>{"re:query"});  // the decoy never arrives
  // The relay lives while replies may come, then ends and gives the link back.
  EXPECT_TRUE(WaitUntil([] { return ActiveUdpRelays() == 0; }, 3000));
  EXPECT_EQ(LinkUsers(), base_users_);

  // A sender not admitted: no relay, a warning, and no ReleaseLink owed.
  std::vector<std::string> denied = UdpExchange("127.0.0.2", port, "query", 300);
  EXPECT_TRUE(denied.empty());
  EXPECT_TRUE(
      log.WaitFor("WARNING! 127.0.0.2 Access denied to port " + std::to_string(port), 2000));
  EXPECT_EQ(target.served(), 1);
  EXPECT_EQ(LinkUsers(), base_users_);
}

TEST_F(PortMapTest, SecondUdpMappingOnABoundPortIsBusy) {
  UdpTargetServer target;
  uint16_t port = testing::FreeUdpPort();
  WriteFile("MapULink.ip", "127.0.0.1\n");
  SetUdpReplyLifeForTesting(200);
  std::string line = std::to_string(port) + ",127.0.0.1:" + std::to_string(target.port());
  SetMappings({}, {line, line + ",Show"});
  LogCapture log;
  StartUdpMappings();
  EXPECT_TRUE(log.Has("!NOT! map port " + std::to_string(port) + ", port busy"));
  EXPECT_EQ(RunningUdpMappings(), 1);
  EXPECT_EQ(UdpExchange("127.0.0.1", port, "q", 400), std::vector<std::string>{"re:q"});
}

}  // namespace
}  // namespace netrove
