// The service start-up: orders, reports, the not-started rules and a
// restart as for a configuration reload. The port watchdog's own rules are
// shown against the real program in gates_e2e_test.py.
#include "services/services.h"

#include <gtest/gtest.h>

#include <fstream>

#include "lib/net_context.h"

namespace netrove {
namespace {

using testing::ConnectLoopback;
using testing::FreePort;
using testing::ReadAll;

// The link on-line and the services of the test's own configuration.
class GateServiceTest : public ::testing::Test {
 protected:
  GateServiceTest() { ctx_.shared.link_mode = kLinkOnline; }
  testing::NetTestContext ctx_;
  Services services_{ctx_.net, ctx_.log, ctx_.config};
};

TEST_F(GateServiceTest, TableStartsAndStopsInItsOwnOrdersAndReports) {
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
  services::StartServiceTable(ctx_.log, rows, ConfigRecord());
  services::StopServiceTable(rows);
  EXPECT_EQ(calls,
            (std::vector<std::string>{"start Proxy", "start FTP-gate", "start POP3-gate",
                                      "start SMTP-gate", "start ", "stop Proxy", "stop POP3-gate",
                                      "stop SMTP-gate", "stop FTP-gate", "stop "}));
  // Not configured (nullopt) and self-logging rows are not reported.
  EXPECT_EQ(ctx_.Lines(),
            (std::vector<std::string>{"Proxy server started", "!NOT! FTP-gate server started",
                                      "SMTP-gate server started"}));
}

TEST_F(GateServiceTest, ListenerServiceNeedsAReadableListAndIsNotStartedTwice) {
  const uint16_t port = FreePort();
  AddressList list;
  SocketVar listener, other;
  std::vector<std::string> files = {"socks4.ip", "socks5.ip"};
  auto handler = [](SocketVar& client) { return SendLine(client, "hi") ? 0u : 1u; };
  EXPECT_FALSE(
      services::StartListenerService(ctx_.net, listener, port, false, files, list, handler));
  EXPECT_EQ(ConnectLoopback(port), -1);
  std::ofstream("socks5.ip") << "127.0.0.1\n";  // the second list alone is enough
  EXPECT_TRUE(
      services::StartListenerService(ctx_.net, listener, port, false, files, list, handler));
  const int first = listener.handle();
  EXPECT_TRUE(
      services::StartListenerService(ctx_.net, listener, port, false, files, list, handler));
  EXPECT_EQ(listener.handle(), first);  // still the same listener
  int fd = ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadAll(fd, 3000), "hi\r\n");
  close(fd);
  EXPECT_FALSE(services::StartListenerService(ctx_.net, other, port, false, files, list, handler));
  CloseSocketVar(listener);
}

TEST_F(GateServiceTest, StartLogsHostAndServicesAndRestartsAfterStop) {
  Resolver& resolver = ctx_.net.resolver();
  resolver.SetLocalInterfaceName("127.0.1.1");
  const uint16_t map_port = FreePort(), dog_port = FreePort();
  testing::TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\nstill here");
  std::ofstream("maplink.ip") << "127.0.0.1\n";
  ctx_.config.Update([&](ConfigRecord& r) {
    r.map_link = {std::to_string(map_port) + "," + origin.host() + ",Show"};
    r.port_dog = std::to_string(dog_port);
  });
  const std::string dog_line = "Dog on port #" + std::to_string(dog_port) + " started";
  const std::string map_line =
      "Maped port " + std::to_string(map_port) + ", linked to " + origin.host();
  services_.Start();
  EXPECT_EQ(ctx_.Lines(),
            (std::vector<std::string>{"POSIX sockets (IPv4)", "Main host: 127.0.1.1 [127.0.1.1]",
                                      services::LoopbackNotice("127.0.1.1"), map_line, dog_line}));
  // A client being served keeps its connection through a stop.
  int held = ConnectLoopback(map_port);
  ASSERT_GE(held, 0);
  LinkUsers& users = ctx_.net.link_users();
  ASSERT_TRUE(testing::WaitUntil([&] { return users.Users() > 0; }));  // relaying now
  // A scan's refusals beyond the first few are summed up when the services stop.
  for (int i = 0; i < 5; ++i) ctx_.net.access().WarnDeniedClient("10.0.0.9", 23);
  services_.Stop();
  EXPECT_TRUE(ctx_.Has("\xe2\x80\xa6 2 further attempts from 10.0.0.9"));
  EXPECT_EQ(services_.port_maps().RunningTcp(), 0);
  EXPECT_FALSE(services_.port_dog().Running());
  EXPECT_EQ(ConnectLoopback(map_port), -1);
  EXPECT_EQ(ConnectLoopback(dog_port), -1);
  send(held, "GET /\r\n\r\n", 9, MSG_NOSIGNAL);
  EXPECT_EQ(ReadAll(held, 3000), "HTTP/1.0 200 OK\r\n\r\nstill here");
  close(held);

  // The reload: start again, now with a LAN address (no loopback notice);
  // the mapping's port is free again.
  resolver.SetLocalInterfaceName("10.11.12.13");
  ctx_.ClearLines();
  services_.Start();
  EXPECT_EQ(ctx_.Lines(),
            (std::vector<std::string>{"POSIX sockets (IPv4)",
                                      "Main host: 10.11.12.13 [10.11.12.13]", map_line, dog_line}));
  held = ConnectLoopback(map_port);
  send(held, "GET /\r\n\r\n", 9, MSG_NOSIGNAL);
  EXPECT_EQ(ReadAll(held, 3000), "HTTP/1.0 200 OK\r\n\r\nstill here");
  close(held);
}

}  // namespace
}  // namespace netrove
