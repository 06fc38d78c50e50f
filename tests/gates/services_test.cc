// The service start-up: orders, reports, the not-started rules and a
// restart as for a configuration reload. The port watchdog's own rules are
// shown against the real program in gates_e2e_test.py.
#include "net/services.h"

#include <gtest/gtest.h>

#include "gates/portdog.h"
#include "gates/portmap.h"
#include "gates_test_util.h"
#include "net/link_users.h"
#include "net/resolver.h"

namespace netrove {
namespace {

using testing::ConnectLoopback;
using testing::FreePort;
using testing::LogCapture;
using testing::ReadAll;

class GateServiceTest : public testing::GateTest {
 protected:
  void TearDown() override { services::StopServices(); }
};

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
  services::StartServiceTable(rows, ConfigRecord());
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

TEST_F(GateServiceTest, ListenerServiceNeedsAReadableListAndIsNotStartedTwice) {
  const uint16_t port = FreePort();
  AddressList list;
  SocketVar listener, other;
  std::vector<std::string> files = {"socks4.ip", "socks5.ip"};
  auto handler = [](SocketVar& client) { return SendLine(client, "hi") ? 0u : 1u; };
  EXPECT_FALSE(services::StartListenerService(listener, port, false, files, list, handler));
  EXPECT_EQ(ConnectLoopback(port), -1);
  testing::WriteFile("socks5.ip", "127.0.0.1\n");  // the second list alone is enough
  EXPECT_TRUE(services::StartListenerService(listener, port, false, files, list, handler));
  const int first = listener.handle();
  EXPECT_TRUE(services::StartListenerService(listener, port, false, files, list, handler));
  EXPECT_EQ(listener.handle(), first);  // still the same listener
  int fd = ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadAll(fd, 3000), "hi\r\n");
  close(fd);
  EXPECT_FALSE(services::StartListenerService(other, port, false, files, list, handler));
  CloseSocketVar(listener);
}

TEST_F(GateServiceTest, StartLogsHostAndServicesAndRestartsAfterStop) {
  SetLocalInterfaceName("127.0.1.1");
  const uint16_t map_port = FreePort(), dog_port = FreePort();
  testing::TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\nstill here");
  testing::WriteFile("maplink.ip", "127.0.0.1\n");
  UpdateConfig([&](ConfigRecord& r) {
    r.map_link = {std::to_string(map_port) + "," + origin.host() + ",Show"};
    r.port_dog = std::to_string(dog_port);
  });
  const std::string dog_line = "Dog on port #" + std::to_string(dog_port) + " started";
  const std::string map_line =
      "Maped port " + std::to_string(map_port) + ", linked to " + origin.host();
  {
    LogCapture log;
    services::StartServices();
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                               "POSIX sockets (IPv4)", "Main host: 127.0.1.1 [127.0.1.1]",
                               services::LoopbackNotice("127.0.1.1"), map_line, dog_line}));
  }
  // A client being served keeps its connection through a stop.
  int held = ConnectLoopback(map_port);
  ASSERT_GE(held, 0);
  ASSERT_TRUE(testing::WaitUntil([&] { return LinkUsers() > 0; }, 3000));  // relaying now
  services::StopServices();
  EXPECT_EQ(RunningTcpMappings(), 0);
  EXPECT_FALSE(PortDogRunning());
  EXPECT_EQ(ConnectLoopback(map_port), -1);
  EXPECT_EQ(ConnectLoopback(dog_port), -1);
  send(held, "GET /\r\n\r\n", 9, MSG_NOSIGNAL);
  EXPECT_EQ(ReadAll(held, 3000), "HTTP/1.0 200 OK\r\n\r\nstill here");
  close(held);

  // The reload: start again, now with a LAN address (no loopback notice);
  // the mapping's port is free again.
  SetLocalInterfaceName("10.11.12.13");
  LogCapture log;
  services::StartServices();
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"POSIX sockets (IPv4)",
                                      "Main host: 10.11.12.13 [10.11.12.13]", map_line, dog_line}));
  held = ConnectLoopback(map_port);
  send(held, "GET /\r\n\r\n", 9, MSG_NOSIGNAL);
  EXPECT_EQ(ReadAll(held, 3000), "HTTP/1.0 200 OK\r\n\r\nstill here");
  close(held);
}

}  // namespace
}  // namespace netrove
