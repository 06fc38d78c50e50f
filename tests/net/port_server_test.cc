// The port servers with real loopback clients: many concurrent clients,
// the table limit, silent peers, UDP hand-over and the shutdown.
#include "net/port_server.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "net/net_settings.h"
#include "net_test_util.h"
#include "runtime/tasks.h"

namespace netrove {
namespace {

using testing::ConnectLoopback;
using testing::CountOpenFds;
using testing::WaitUntil;

// Ports in LISTEN state on 127.0.0.1 or 0.0.0.0, from /proc/net/tcp.
bool SomethingListensOn(uint16_t port) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    unsigned p = std::stoul(local.substr(local.find(':') + 1), nullptr, 16);
    if (p == port && state == "0A") return true;
  }
  return false;
}

uint32_t Echo(SocketVar& client) {
  char buf[900];
  for (;;) {
    int n = ReadBuffered(client, buf, sizeof buf);
    if (n < 1) return 0;
    if (!SendBuffer(client, buf, static_cast<size_t>(n))) return 0;
  }
}

class PortServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NetTimings t;
    t.receive_timeout_ms = 5000;
    t.listener_poll_ms = 100;
    t.udp_ticket_wait_ms = 300;
    SetNetTimingsForTesting(t);
  }
  void TearDown() override {
    ShutdownNetwork();
    SetNetTimingsForTesting(NetTimings());
  }
};

TEST_F(PortServerTest, TwoHundredConcurrentEchoClientsLoseNothing) {
  ReapTasks();
  const int fds_before = CountOpenFds();
  const int slots_before = TaskSlotsInUse();
  {
    SocketVar listener;
    ListenTcp(0, listener, Echo, false);
    ASSERT_GT(listener.handle(), 2);
    const uint16_t port = GetLocalPort(listener.handle());
    ASSERT_NE(port, 0);

    constexpr int kClients = 200;
    std::atomic<int> intact{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([c, port, &intact] {
        int fd = ConnectLoopback(port);
        if (fd < 0) return;
        std::string payload;
        for (int i = 0; i < 3000; ++i)
          payload.push_back(static_cast<char>((c * 31 + i * 7) & 0xFF));
        size_t off = 0;
        while (off < payload.size()) {
          ssize_t n = send(fd, payload.data() + off, payload.size() - off, MSG_NOSIGNAL);
          if (n <= 0) break;
          off += static_cast<size_t>(n);
        }
        shutdown(fd, SHUT_WR);
        std::string back;
        char buf[4096];
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
          pollfd p = {fd, POLLIN, 0};
          if (poll(&p, 1, 1000) <= 0) continue;
          ssize_t n = recv(fd, buf, sizeof buf, 0);
          if (n <= 0) break;
          back.append(buf, static_cast<size_t>(n));
        }
        close(fd);
        if (back == payload) ++intact;
      });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(intact.load(), kClients);
    CloseSocketVar(listener);
    EXPECT_EQ(listener.handle(), -1);
    EXPECT_EQ(TcpListenerCount(), 0);
  }
  // Every connection task ends, and with it every descriptor.
  EXPECT_TRUE(WaitUntil(
      [&] {
        ReapTasks();
        return TaskSlotsInUse() <= slots_before && CountOpenFds() <= fds_before;
      },
      5000));
  EXPECT_EQ(TaskSlotsInUse(), slots_before);
  EXPECT_EQ(CountOpenFds(), fds_before);
}

TEST_F(PortServerTest, TaskIsNamedAfterTheListeningSocket) {
  SocketVar listener;
  std::atomic<bool> named{false};
  std::string expected;
  ListenTcpLoopback(0, listener, [&](SocketVar&) -> uint32_t {
    named = CurrentTaskName() == expected;
    return 0;
  });
  expected = "Socket " + std::to_string(listener.handle());
  int fd = ConnectLoopback(GetLocalPort(listener.handle()));
  ASSERT_GE(fd, 0);
  char c;
  EXPECT_EQ(recv(fd, &c, 1, 0), 0);  // the handler returned: the socket was closed
  close(fd);
  EXPECT_TRUE(named.load());
}

TEST_F(PortServerTest, SixtyFifthListenerIsRefused) {
  std::vector<SocketVar> listeners(kListenerTableSize + 1);
  ListenTcpLoopback(0, listeners[0], Echo);  // also starts the port server task
  const int fds_before = CountOpenFds() - 1;
  for (int i = 1; i < kListenerTableSize; ++i) {
    ListenTcpLoopback(0, listeners[i], Echo);
    ASSERT_GT(listeners[i].handle(), 2) << i;
  }
  EXPECT_EQ(TcpListenerCount(), kListenerTableSize);
  ListenTcpLoopback(0, listeners.back(), Echo);
  EXPECT_EQ(listeners.back().handle(), -1);
  EXPECT_EQ(CountOpenFds(), fds_before + kListenerTableSize);  // the 65th socket is closed
  // The earlier ones keep working: the first and the last.
  for (int i : {0, kListenerTableSize - 1}) {
    int fd = ConnectLoopback(GetLocalPort(listeners[i].handle()));
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, "ping", 4, MSG_NOSIGNAL), 4);
    char buf[4];
    EXPECT_EQ(recv(fd, buf, 4, MSG_WAITALL), 4);
    close(fd);
  }
}

TEST_F(PortServerTest, BusyPortLeavesTheVariableClosed) {
  SocketVar first, second;
  ListenTcpLoopback(0, first, Echo);
  ASSERT_GT(first.handle(), 2);
  // A second socket on the same port cannot listen (SO_REUSEADDR does not allow that).
  ListenTcpLoopback(GetLocalPort(first.handle()), second, Echo);
  EXPECT_EQ(second.handle(), -1);
  EXPECT_EQ(TcpListenerCount(), 1);
}

TEST_F(PortServerTest, SilentPeerIsDroppedAfterTheReceiveTimeout) {
  NetTimings t = NetTimingsNow();
  t.receive_timeout_ms = 300;
  SetNetTimingsForTesting(t);
  SocketVar listener;
  std::atomic<bool> ended{false};
  ListenTcpLoopback(0, listener, [&](SocketVar& client) -> uint32_t {
    std::string line;
    (void)ReadLine(client, 255, line);
    ended = true;
    return 0;
  });
  int fd = ConnectLoopback(GetLocalPort(listener.handle()));
  ASSERT_GE(fd, 0);
  auto start = std::chrono::steady_clock::now();
  char c;
  EXPECT_EQ(recv(fd, &c, 1, 0), 0);  // closed by the server
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::milliseconds(3000));
  EXPECT_TRUE(WaitUntil([&] { return ended.load(); }, 1000));
  close(fd);
}

TEST_F(PortServerTest, ShutdownLeavesNoListenerBehind) {
  SocketVar a, b, u;
  ListenTcp(0, a, Echo, false);
  ListenTcpLoopback(0, b, Echo);
  ListenUdp(
      0, u, [](UdpDatagramTicket&) -> uint32_t { return 0; }, false);
  uint16_t pa = GetLocalPort(a.handle()), pb = GetLocalPort(b.handle());
  ASSERT_TRUE(SomethingListensOn(pa));
  ASSERT_TRUE(SomethingListensOn(pb));
  ReapTasks();
  const int fds_with = CountOpenFds();
  ShutdownNetwork();
  EXPECT_EQ(a.handle(), -1);
  EXPECT_EQ(b.handle(), -1);
  EXPECT_EQ(u.handle(), -1);
  EXPECT_EQ(TcpListenerCount(), 0);
  EXPECT_EQ(UdpListenerCount(), 0);
  EXPECT_FALSE(SomethingListensOn(pa));
  EXPECT_FALSE(SomethingListensOn(pb));
  ReapTasks();
  // The three sockets and the wake-up descriptors of the two listener tasks.
  EXPECT_EQ(CountOpenFds(), fds_with - 5);
  EXPECT_EQ(ConnectLoopback(pa), -1);
  // A later registration starts the port server again.
  SocketVar again;
  ListenTcpLoopback(0, again, Echo);
  int fd = ConnectLoopback(GetLocalPort(again.handle()));
  ASSERT_GE(fd, 0);
  ASSERT_EQ(send(fd, "hi", 2, MSG_NOSIGNAL), 2);
  char buf[2];
  EXPECT_EQ(recv(fd, buf, 2, MSG_WAITALL), 2);
  close(fd);
}

int UdpSocketTo(uint16_t port, sockaddr_in& to) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return fd;
}

TEST_F(PortServerTest, UdpDatagramsAreHandedOverAndAnswered) {
  SocketVar listener;
  std::atomic<int> handled{0};
  ListenUdp(
      0, listener,
      [&](UdpDatagramTicket& ticket) -> uint32_t {
        char buf[2048];
        sockaddr_in from{};
        int n = ticket.ReceiveDatagram(buf, sizeof buf, &from);
        if (n < 0) return 1;
        EXPECT_EQ(CurrentTaskName(), "USocket " + std::to_string(ticket.socket()));
        ++handled;
        (void)sendto(ticket.socket(), buf, static_cast<size_t>(n), 0,
                     reinterpret_cast<sockaddr*>(&from), sizeof from);
        return 0;
      },
      false);
  ASSERT_GT(listener.handle(), 2);
  sockaddr_in to;
  int fd = UdpSocketTo(GetLocalPort(listener.handle()), to);
  for (int i = 0; i < 5; ++i) {
    std::string msg = "datagram " + std::to_string(i);
    ASSERT_EQ(sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(msg.size()));
    char buf[64];
    pollfd p = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1);
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0))), msg);
  }
  EXPECT_EQ(handled.load(), 5);
  close(fd);
}

TEST_F(PortServerTest, UdpHandlerThatNeverTakesItsTicketDoesNotHangTheListener) {
  SocketVar listener;
  std::atomic<int> calls{0};
  std::atomic<int> late_result{0};
  ListenUdp(
      0, listener,
      [&](UdpDatagramTicket& ticket) -> uint32_t {
        if (++calls == 1) {
          // Slower than the listener's patience: by the time it reads, the
          // listener has given up and dropped the datagram.
          std::this_thread::sleep_for(std::chrono::milliseconds(600));
          char buf[64];
          late_result = ticket.ReceiveDatagram(buf, sizeof buf, nullptr);
          return 0;
        }
        char buf[64];
        sockaddr_in from{};
        int n = ticket.ReceiveDatagram(buf, sizeof buf, &from);
        if (n > 0)
          (void)sendto(ticket.socket(), buf, static_cast<size_t>(n), 0,
                       reinterpret_cast<sockaddr*>(&from), sizeof from);
        return 0;
      },
      false);
  sockaddr_in to;
  int fd = UdpSocketTo(GetLocalPort(listener.handle()), to);
  ASSERT_EQ(sendto(fd, "one", 3, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(sendto(fd, "two", 3, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 3);
  pollfd p = {fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 3000), 1);
  char buf[8];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0))), "two");
  EXPECT_TRUE(WaitUntil([&] { return calls.load() == 2 && late_result.load() == -1; }, 3000));
  close(fd);
}

}  // namespace
}  // namespace netrove
