// The port servers with real loopback clients: many concurrent clients,
// the table limit, silent peers, UDP hand-over and the shutdown.
#include "net/port_server.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lib/net_context.h"
#include "runtime/rate_limit.h"

namespace netrove {
namespace {

using testing::ConnectLoopback;
using testing::CountOpenFds;
using testing::WaitUntil;

uint32_t Echo(SocketVar& client) {
  char buf[900];
  for (;;) {
    int n = ReadBuffered(client, buf, sizeof buf);
    if (n < 1 || !SendBuffer(client, buf, static_cast<size_t>(n))) return 0;
  }
}

// Sends `text` to 127.0.0.1:port from `source`, half-closes and returns
// the whole answer.
std::string Exchange(uint16_t port, const std::string& text, int ms = 3000,
                     const char* source = "127.0.0.1") {
  int fd = ConnectLoopback(port, "127.0.0.1", source);
  if (fd < 0) return "<refused>";
  (void)send(fd, text.data(), text.size(), MSG_NOSIGNAL);  // blocking: all of it
  shutdown(fd, SHUT_WR);
  std::string back = testing::ReadAll(fd, ms);
  close(fd);
  return back;
}

// Sends `text` from a fresh UDP socket to 127.0.0.1:port; the reply within
// `ms` or "".
std::string UdpExchange(uint16_t port, const std::string& text, int ms = 3000) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to = testing::LoopbackAddress("127.0.0.1", port);
  sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  char buf[64];
  pollfd p = {fd, POLLIN, 0};
  ssize_t n = poll(&p, 1, ms) == 1 ? recv(fd, buf, sizeof buf, 0) : -1;
  close(fd);
  return std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
}

class PortServerTest : public ::testing::Test {
 protected:
  testing::NetTestContext ctx_{[](NetOptions& o) { o.timings.receive_timeout_ms = 5000; }};
  PortServers& ports_ = ctx_.net.ports();
};

TEST_F(PortServerTest, TwoHundredConcurrentEchoClientsLoseNothing) {
  ctx_.tasks.Reap();
  const int fds_before = CountOpenFds();
  const int slots_before = ctx_.tasks.SlotsInUse();
  SocketVar listener;
  ports_.ListenTcp(0, listener, Echo, false);
  const uint16_t port = GetLocalPort(listener.handle());
  ASSERT_NE(port, 0);
  constexpr int kClients = 200;
  std::atomic<int> intact{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([c, port, &intact] {
      std::string payload;
      for (int i = 0; i < 3000; ++i) payload.push_back(static_cast<char>((c * 31 + i * 7) & 0xFF));
      // Two client addresses: one address alone may hold 128 clients at most.
      if (Exchange(port, payload, 30000, c % 2 ? "127.0.0.2" : "127.0.0.1") == payload) ++intact;
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(intact.load(), kClients);
  CloseSocketVar(listener);
  EXPECT_EQ(ports_.TcpListenerCount(), 0);
  // Every connection task ends, and with it every descriptor.
  Tasks& tasks = ctx_.tasks;
  EXPECT_TRUE(WaitUntil(
      [&] {
        tasks.Reap();
        return tasks.SlotsInUse() == slots_before && CountOpenFds() == fds_before;
      },
      5000))
      << tasks.SlotsInUse() << " slots, " << CountOpenFds() << " fds";
}

// Idle clients of one address fill its share of the server and no more:
// the next one is closed at once and reported (a few lines, not one per
// attempt), while a client of another address is still served.
TEST_F(PortServerTest, OneAddressCannotTakeTheServerFromOthers) {
  SocketVar listener;
  std::atomic<bool> release{false};
  ClientCaps& caps = ctx_.net.caps();
  ports_.ListenTcpLoopback(0, listener, [&](SocketVar& client) -> uint32_t {
    char c;
    if (ReadBuffered(client, &c, 1) != 1) return 0;
    if (c == 'w') WaitUntil([&] { return release.load(); }, 20000);
    (void)SendBuffer(client, "ok", 2);
    return 0;
  });
  const uint16_t port = GetLocalPort(listener.handle());
  std::vector<int> idle;
  for (int i = 0; i < kMaxClientsPerAddress; ++i) {
    int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, "w", 1, MSG_NOSIGNAL), 1);
    idle.push_back(fd);
  }
  ASSERT_TRUE(WaitUntil([&] { return caps.Total() == kMaxClientsPerAddress; }, 5000));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Exchange(port, "x", 3000), "") << i;
  EXPECT_EQ(Exchange(port, "x", 3000, "127.0.0.2"), "ok");
  const int refusals =
      ctx_.Count("WARNING! 127.0.0.1 Too many connections to port " + std::to_string(port));
  EXPECT_GE(refusals, 1);
  EXPECT_LE(refusals, 2 * RateLimiter::kBurst);
  release = true;
  for (int fd : idle) {
    EXPECT_EQ(testing::ReadAll(fd, 3000), "ok");
    close(fd);
  }
  EXPECT_TRUE(WaitUntil([&] { return caps.Total() == 0; }));
  EXPECT_EQ(Exchange(port, "x"), "ok");  // the address's share is back
}

TEST_F(PortServerTest, SixtyFifthListenerIsRefused) {
  std::vector<SocketVar> listeners(kListenerTableSize + 1);
  ports_.ListenTcpLoopback(0, listeners[0], Echo);  // also starts the port server task
  const int fds_before = CountOpenFds() - 1;
  for (int i = 1; i <= kListenerTableSize; ++i) ports_.ListenTcpLoopback(0, listeners[i], Echo);
  EXPECT_EQ(ports_.TcpListenerCount(), kListenerTableSize);
  EXPECT_EQ(listeners.back().handle(), -1);
  EXPECT_EQ(CountOpenFds(), fds_before + kListenerTableSize);  // the 65th socket is closed
  for (int i : {0, kListenerTableSize - 1})
    EXPECT_EQ(Exchange(GetLocalPort(listeners[i].handle()), "ping"), "ping") << i;
}

TEST_F(PortServerTest, SilentPeerIsDroppedAfterTheReceiveTimeout) {
  ctx_.SetTimings([](NetTimings& t) { t.receive_timeout_ms = 300; });
  SocketVar listener;
  std::string task_name;
  std::atomic<bool> ended{false};
  ports_.ListenTcpLoopback(0, listener, [&](SocketVar& client) -> uint32_t {
    task_name = CurrentTaskName();
    std::string line;
    (void)ReadLine(client, 255, line);
    ended = true;
    return 0;
  });
  int fd = ConnectLoopback(GetLocalPort(listener.handle()));
  ASSERT_GE(fd, 0);
  auto start = testing::SteadyClock::now();
  char c;
  EXPECT_EQ(recv(fd, &c, 1, 0), 0);  // closed by the server
  EXPECT_GE(testing::MsSince(start), 250);
  EXPECT_LT(testing::MsSince(start), 3000);
  close(fd);
  ASSERT_TRUE(WaitUntil([&] { return ended.load(); }, 1000));
  EXPECT_EQ(task_name, "Socket " + std::to_string(listener.handle()));
}

TEST_F(PortServerTest, BusyPortIsRefusedAndShutdownLeavesNoListenerBehind) {
  SocketVar a, b, u, busy;
  ports_.ListenTcp(0, a, Echo, false);
  ports_.ListenTcpLoopback(0, b, Echo);
  ports_.ListenUdp(
      0, u, [](UdpDatagramTicket&) -> uint32_t { return 0; }, false);
  const uint16_t pa = GetLocalPort(a.handle()), pb = GetLocalPort(b.handle());
  ports_.ListenTcpLoopback(pb, busy, Echo);  // SO_REUSEADDR does not allow two listeners
  EXPECT_EQ(busy.handle(), -1);
  EXPECT_EQ(ports_.TcpListenerCount(), 2);
  ctx_.tasks.Reap();
  const int fds_with = CountOpenFds();
  ctx_.net.Shutdown();
  for (SocketVar* s : {&a, &b, &u}) EXPECT_EQ(s->handle(), -1);
  EXPECT_EQ(ports_.TcpListenerCount() + ports_.UdpListenerCount(), 0);
  EXPECT_EQ(ConnectLoopback(pa), -1);
  EXPECT_EQ(ConnectLoopback(pb), -1);
  ctx_.tasks.Reap();
  // The three sockets and the wake-up descriptors of the two listener tasks.
  EXPECT_EQ(CountOpenFds(), fds_with - 5);
  // A later registration (a configuration reload) starts the port server again.
  SocketVar again;
  ports_.ListenTcpLoopback(pb, again, Echo);
  EXPECT_EQ(Exchange(pb, "hi"), "hi");
}

// Each datagram goes to a task named "USocket " + the listener's number,
// with the datagram already taken off the socket: a handler that is slow
// to read it still gets it, and holds nobody else up (it waits for the
// others to be answered first).
TEST_F(PortServerTest, UdpDatagramsAreHandedOverAndASlowHandlerDoesNotHangTheListener) {
  SocketVar listener;
  std::atomic<int> misnamed{0}, late_result{0}, answered{0};
  ports_.ListenUdp(
      0, listener,
      [&](UdpDatagramTicket& ticket) -> uint32_t {
        if (CurrentTaskName() != "USocket " + std::to_string(ticket.socket())) ++misnamed;
        char buf[64];
        sockaddr_in from{};
        int n = ticket.ReceiveDatagram(buf, sizeof buf, &from);
        if (n > 0 && std::string(buf, static_cast<size_t>(n)) == "late") {
          WaitUntil([&] { return answered.load() == 3; }, 10000);
          late_result = n;
          return 0;
        }
        if (n > 0)
          sendto(ticket.socket(), buf, n, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
        return 0;
      },
      false);
  const uint16_t port = GetLocalPort(listener.handle());
  UdpExchange(port, "late", 0);
  for (std::string msg : {"one", "two", "three"}) {
    EXPECT_EQ(UdpExchange(port, msg), msg);
    ++answered;
  }
  EXPECT_TRUE(WaitUntil([&] { return late_result.load() == 4; }));
  EXPECT_EQ(misnamed.load(), 0);
}

// The client tasks use the network's layer and caps: a network that ends
// stops them first, also one that waits minutes for its client.
TEST_F(PortServerTest, NetworkThatEndsStopsItsClientTasks) {
  NetOptions options;
  options.hosts_path = ctx_.scratch / "hosts";
  options.timings.receive_timeout_ms = 120000;
  auto net =
      std::make_unique<Network>(ctx_.env, ctx_.tasks, ctx_.log, ctx_.config, ctx_.shared, options);
  SocketVar listener;
  std::atomic<bool> ended{false};
  net->ports().ListenTcpLoopback(0, listener, [&ended](SocketVar& client) -> uint32_t {
    std::string line;
    (void)ReadLine(client, 255, line);
    ended = true;
    return 0;
  });
  int fd = ConnectLoopback(GetLocalPort(listener.handle()));
  ClientCaps& caps = net->caps();
  ASSERT_TRUE(WaitUntil([&] { return caps.Total() == 1; }));
  CloseSocketVar(listener);
  auto start = testing::SteadyClock::now();
  net.reset();
  EXPECT_TRUE(ended.load());
  EXPECT_LT(testing::MsSince(start), 1000);
  close(fd);
}

}  // namespace
}  // namespace netrove
