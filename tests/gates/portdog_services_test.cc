// The port watchdog and the service start-up: orders, reports, the
// not-started rules and a restart as for a configuration reload.
#include <gtest/gtest.h>

#include <fstream>

#include "config/config.h"
#include "gates/portdog.h"
#include "gates/portmap.h"
#include "gates_test_util.h"
#include "net/link_users.h"
#include "net/net_settings.h"
#include "net/resolver.h"
#include "net/services.h"
#include "runtime/shared_state.h"

namespace netrove {
namespace {

using testing::ConnectFrom;
using testing::FreeTcpPort;
using testing::LogCapture;
using testing::ReadAll;
using testing::ScratchDir;
using testing::WaitUntil;

std::string ReadFile(const std::string& name) {
  std::ifstream in(name);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class GateServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("NETROVE_HOSTS", (scratch_.path() + "/hosts").c_str(), 1);
    NetTimings timings;
    timings.listener_poll_ms = 50;
    SetNetTimingsForTesting(timings);
    Shared().link_mode = kLinkOnline;
  }
  void TearDown() override {
    services::StopServices();
    UpdateConfig([](ConfigRecord& r) {
      r.port_dog.clear();
      r.map_link.clear();
      r.map_ulink.clear();
    });
    SetNetTimingsForTesting(NetTimings());
  }
  ScratchDir scratch_;
};

TEST(PortDogEntriesTest, SpacesRemovedAndSplit) {
  EXPECT_EQ(PortDogEntries("23, 139 ,445"), (std::vector<std::string>{"23", "139", "445"}));
  EXPECT_EQ(PortDogEntries("23,"), std::vector<std::string>{"23"});
  EXPECT_EQ(PortDogEntries("23,,x"), (std::vector<std::string>{"23", "", "x"}));
  EXPECT_TRUE(PortDogEntries("  ").empty());
}

TEST_F(GateServiceTest, DogWatchesFreePortsRefusesEveryoneAndReportsBusyOnes) {
  uint16_t a = FreeTcpPort(), b = FreeTcpPort();
  int busy = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in any = testing::LoopbackAddress("0.0.0.0", 0);
  ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  ASSERT_EQ(listen(busy, 1), 0);
  uint16_t busy_port = testing::BoundPort(busy);
  UpdateConfig([&](ConfigRecord& r) {
    r.port_dog =
        std::to_string(a) + ", " + std::to_string(busy_port) + ", telnet," + std::to_string(b);
  });
  LogCapture log;
  StartPortDog();
  EXPECT_TRUE(log.Has("Dog on port #" + std::to_string(a) + " started"));
  EXPECT_TRUE(log.Has("Dog on port #" + std::to_string(b) + " started"));
  EXPECT_TRUE(log.Has("WARNING: port #" + std::to_string(busy_port) + " busy???"));
  EXPECT_TRUE(log.Has("WARNING: port #telnet busy???"));
  EXPECT_TRUE(PortDogRunning());
  EXPECT_EQ(WatchedPorts(), 2);

  for (uint16_t port : {a, b}) {
    int fd = ConnectFrom("127.0.0.1", "127.0.0.1", port);
    ASSERT_GE(fd, 0);
    send(fd, "hello\r\n", 7, MSG_NOSIGNAL);
    EXPECT_EQ(ReadAll(fd, 3000), "");  // closed at once, nothing said
    close(fd);
  }
  // A client that connects and leaves at once is reported all the same.
  int gone = ConnectFrom("127.0.0.4", "127.0.0.1", a);
  ASSERT_GE(gone, 0);
  close(gone);
  std::string expected = "127.0.0.1 #" + std::to_string(a) + "\n127.0.0.1 #" + std::to_string(b) +
                         "\n127.0.0.4 #" + std::to_string(a) + "\n";
  EXPECT_TRUE(WaitUntil([&] { return ReadFile("access.ip.error.log") == expected; }, 3000))
      << ReadFile("access.ip.error.log");
  EXPECT_TRUE(log.Has("WARNING! 127.0.0.1 Access denied to port " + std::to_string(b)));

  StartPortDog();  // already running: nothing new
  EXPECT_EQ(WatchedPorts(), 2);
  StopPortDog();
  EXPECT_FALSE(PortDogRunning());
  EXPECT_EQ(ConnectFrom("127.0.0.1", "127.0.0.1", a), -1);
  close(busy);
}

TEST(ServiceTableTest, StartAndStopFollowTheirOwnOrdersAndReport) {
  std::vector<std::string> calls;
  auto row = [&](std::string name, int start, int stop, std::optional<bool> result) {
    services::ServiceRow r;
    r.log_name = name;
    r.start_position = start;
    r.stop_position = stop;
    r.start = [&calls, name, result](const ConfigRecord&) {
      calls.push_back("start " + name);
      return result;
    };
    r.stop = [&calls, name] { calls.push_back("stop " + name); };
    return r;
  };
  // Listed out of order on purpose: the positions decide.
  std::vector<services::ServiceRow> rows = {
      row("SMTP-gate", 7, 3, true), row("Proxy", 1, 1, true),
      row("FTP-gate", 2, 4, false), row("POP3-gate", 4, 2, std::nullopt),
      row("", 10, 6, std::nullopt),
  };
  LogCapture log;
  ConfigRecord config;
  services::StartServiceTable(rows, config);
  services::StopServiceTable(rows);
  EXPECT_EQ(calls,
            (std::vector<std::string>{"start Proxy", "start FTP-gate", "start POP3-gate",
                                      "start SMTP-gate", "start ", "stop Proxy", "stop POP3-gate",
                                      "stop SMTP-gate", "stop FTP-gate", "stop "}));
  // Not configured (nullopt) and self-logging rows are not reported.
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"Proxy server started", "!NOT! FTP-gate server started",
                                      "SMTP-gate server started"}));
}

TEST(ServiceTableTest, BuiltInRowsKeepTheirPlaces) {
  std::vector<services::ServiceRow> rows = services::DefaultServiceTable();
  ASSERT_EQ(rows.size(), 3u);
  // TCP mappings, UDP mappings, watchdog: last to start; before the
  // watchdog when stopping, which stops just before the POP3 server.
  EXPECT_EQ(rows[0].start_position, 8);
  EXPECT_EQ(rows[1].start_position, 9);
  EXPECT_EQ(rows[2].start_position, 10);
  EXPECT_EQ(rows[0].stop_position, 5);
  EXPECT_EQ(rows[1].stop_position, 5);
  EXPECT_EQ(rows[2].stop_position, 6);
}

TEST_F(GateServiceTest, ListenerServiceNeedsAReadableListAndIsNotStartedTwice) {
  uint16_t port = FreeTcpPort();
  AddressList list;
  SocketVar listener;
  std::vector<std::string> files = {"socks4.ip", "socks5.ip"};
  auto handler = [](SocketVar& client) {
    (void)SendLine(client, "hi");
    return 0u;
  };
  EXPECT_FALSE(services::StartListenerService(listener, port, false, files, list, handler));
  EXPECT_EQ(ConnectFrom("127.0.0.1", "127.0.0.1", port), -1);
  std::ofstream("socks5.ip") << "127.0.0.1\n";  // the second list alone is enough
  EXPECT_TRUE(services::StartListenerService(listener, port, false, files, list, handler));
  int first = listener.handle();
  EXPECT_TRUE(services::StartListenerService(listener, port, false, files, list, handler));
  EXPECT_EQ(listener.handle(), first);  // still the same listener
  int fd = ConnectFrom("127.0.0.1", "127.0.0.1", port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadAll(fd, 3000), "hi\r\n");
  close(fd);

  SocketVar other;  // the port is taken
  EXPECT_FALSE(services::StartListenerService(other, port, false, files, list, handler));
  CloseSocketVar(listener);
}

TEST_F(GateServiceTest, StartLogsHostAndServicesAndRestartsAfterStop) {
  SetLocalInterfaceName("127.0.1.1");
  uint16_t map_port = FreeTcpPort(), dog_port = FreeTcpPort();
  testing::TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\nstill here");
  std::string target = "127.0.0.1:" + std::to_string(origin.port());
  std::ofstream("maplink.ip") << "127.0.0.1\n";
  UpdateConfig([&](ConfigRecord& r) {
    r.map_link = {std::to_string(map_port) + "," + target + ",Show"};
    r.port_dog = std::to_string(dog_port);
  });
  {
    LogCapture log;
    services::StartServices();
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "POSIX sockets (IPv4)");
    EXPECT_EQ(lines[1], "Main host: 127.0.1.1 [127.0.1.1]");
    EXPECT_EQ(lines[2], services::LoopbackNotice("127.0.1.1"));
    EXPECT_EQ(lines[3], "Maped port " + std::to_string(map_port) + ", linked to " + target);
    EXPECT_EQ(lines[4], "Dog on port #" + std::to_string(dog_port) + " started");
  }
  // A client being served keeps its connection through a stop.
  int held = ConnectFrom("127.0.0.1", "127.0.0.1", map_port);
  ASSERT_GE(held, 0);
  ASSERT_TRUE(WaitUntil([&] { return LinkUsers() > 0; }, 3000));  // relaying now
  services::StopServices();
  EXPECT_EQ(RunningTcpMappings(), 0);
  EXPECT_FALSE(PortDogRunning());
  EXPECT_EQ(ConnectFrom("127.0.0.1", "127.0.0.1", map_port), -1);
  EXPECT_EQ(ConnectFrom("127.0.0.1", "127.0.0.1", dog_port), -1);
  send(held, "GET /\r\n\r\n", 9, MSG_NOSIGNAL);
  EXPECT_EQ(ReadAll(held, 3000), "HTTP/1.0 200 OK\r\n\r\nstill here");
  close(held);

  // The reload: start again with the same configuration.
  SetLocalInterfaceName("127.0.0.1");
  UpdateConfig([](ConfigRecord& r) { r.map_link.clear(); });
  LogCapture log;
  services::StartServices();
  EXPECT_EQ(RunningTcpMappings(), 0);
  EXPECT_TRUE(PortDogRunning());
  EXPECT_TRUE(log.Has("Main host: 127.0.0.1 [127.0.0.1]"));
}

TEST_F(GateServiceTest, NoLoopbackNoticeForALanAddress) {
  SetLocalInterfaceName("10.11.12.13");
  LogCapture log;
  services::StartServices();
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"POSIX sockets (IPv4)",
                                                   "Main host: 10.11.12.13 [10.11.12.13]"}));
}

}  // namespace
}  // namespace netrove
