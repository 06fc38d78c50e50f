// Receives and relays under a steady stream on loopback: bytes that are
// already waiting are taken without a wait, so suspension, stop requests
// and urgent data must still be seen, and nothing may be lost or reordered.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/net_settings.h"
#include "net/socket.h"
#include "runtime/tasks.h"

namespace netrove {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

template <typename Pred>
bool WaitFor(Pred done, int limit_ms) {
  auto deadline = Clock::now() + milliseconds(limit_ms);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

// A connected pair on 127.0.0.1: the program's side and the peer's side.
// The peer's blocking calls give up after five seconds.
std::pair<SocketVar, int> TcpPair() {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(listen(listener, 1), 0);
  EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  int ours = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  close(listener);
  timeval limit = {5, 0};
  setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(peer, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  return {SocketVar(ours), peer};
}

std::string Pattern(size_t size, int seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 509 + seed) & 0xff);
  return s;
}

bool SendAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// Reads until end of stream, an error or `limit` bytes.
std::string ReadUpTo(int fd, size_t limit) {
  std::string got;
  char buf[65536];
  while (got.size() < limit) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

class SocketStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NetTimings t;
    t.receive_timeout_ms = 5000;
    t.send_timeout_ms = 5000;
    t.relay_idle_ms = 3000;
    SetNetTimingsForTesting(t);
  }
  void TearDown() override { SetNetTimingsForTesting(NetTimings()); }
};

// 4 MiB one way and 64 KiB the other at the same time: every byte arrives
// in order. Bytes followed at once by the sender's close all arrive before
// the relay closes the far side.
TEST_F(SocketStreamTest, RelayCarriesLargeStreamsWholeUpToTheClose) {
  {
    auto [a, a_peer] = TcpPair();
    auto [b, b_peer] = TcpPair();
    const std::string last = Pattern(20000, 3);
    ASSERT_TRUE(SendAll(a_peer, last));
    shutdown(a_peer, SHUT_WR);  // queued behind the bytes before the relay starts
    std::thread relay([&a, &b] { RelaySockets(a, b); });
    std::string got = ReadUpTo(b_peer, last.size() + 1);
    relay.join();
    EXPECT_EQ(got.size(), last.size());
    EXPECT_TRUE(got == last);
    close(a_peer);
    close(b_peer);
  }
  auto [a, a_peer] = TcpPair();
  auto [b, b_peer] = TcpPair();
  const std::string down = Pattern(4 << 20, 1), up = Pattern(64 << 10, 2);
  std::thread relay([&a, &b] { RelaySockets(a, b); });

  std::string got_up, got_down;
  std::thread a_side([&, a_fd = a_peer] {
    std::thread reader([&] { got_up = ReadUpTo(a_fd, up.size()); });
    EXPECT_TRUE(SendAll(a_fd, down));
    reader.join();
    shutdown(a_fd, SHUT_WR);
  });
  std::thread b_side([&, b_fd = b_peer] {
    std::thread reader([&] { got_down = ReadUpTo(b_fd, down.size() + 1); });
    EXPECT_TRUE(SendAll(b_fd, up));
    reader.join();
  });
  a_side.join();
  b_side.join();
  relay.join();
  EXPECT_EQ(got_up.size(), up.size());
  EXPECT_TRUE(got_up == up);
  EXPECT_EQ(got_down.size(), down.size());
  EXPECT_TRUE(got_down == down);
  EXPECT_EQ(a.handle(), -1);
  EXPECT_EQ(b.handle(), -1);
  close(a_peer);
  close(b_peer);
}

// Urgent data ends a relay without passing anything on, as it fails a
// receive that waited for it.
TEST_F(SocketStreamTest, UrgentDataEndsTheRelay) {
  auto [a, a_peer] = TcpPair();
  auto [b, b_peer] = TcpPair();
  // Both are waiting before the relay starts: it must not pass "abc" on.
  ASSERT_EQ(send(a_peer, "abc", 3, MSG_NOSIGNAL), 3);
  ASSERT_EQ(send(a_peer, "!", 1, MSG_OOB | MSG_NOSIGNAL), 1);
  ASSERT_TRUE(WaitFor(
      [&] {
        struct pollfd p = {a.handle(), POLLPRI, 0};
        return poll(&p, 1, 0) == 1;
      },
      2000));
  std::atomic<bool> ended{false};
  std::thread relay([&] {
    RelaySockets(a, b);
    ended = true;
  });
  EXPECT_TRUE(WaitFor([&] { return ended.load(); }, 1500));
  relay.join();
  char buf[16];
  EXPECT_EQ(recv(b_peer, buf, sizeof buf, 0), 0);  // closed, nothing relayed
  close(a_peer);
  close(b_peer);
}

// A task that reads a stream that never lets it wait still holds while
// tasks are suspended and ends at once when it is stopped.
TEST_F(SocketStreamTest, SteadyStreamHoldsAtSuspensionAndEndsAtAStop) {
  auto [ours, peer] = TcpPair();
  std::atomic<bool> feeding{true};
  std::thread feeder([&, fd = peer] {
    const std::string block(64 << 10, 's');
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (feeding.load() && Clock::now() < deadline) {
      if (send(fd, block.data(), block.size(), MSG_NOSIGNAL) <= 0) break;
    }
  });
  std::atomic<long> received{0};
  std::atomic<int> last{-2};
  TaskHandle reader = StartTask("Socket 7", [&, var = &ours](uint32_t) -> uint32_t {
    char buf[512];
    int n;
    while ((n = ReceiveChunk(*var, buf, sizeof buf)) > 0) received += n;
    last = n;
    return 0;
  });
  ASSERT_TRUE(WaitFor([&] { return received.load() > (1 << 20); }, 5000));

  SuspendAllTasks();
  std::this_thread::sleep_for(milliseconds(50));
  long held = received.load();
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(received.load(), held);
  ResumeAllTasks();
  EXPECT_TRUE(WaitFor([&] { return received.load() > held + (1 << 20); }, 5000));

  auto start = Clock::now();
  StopTask(reader);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_EQ(last.load(), 0);
  EXPECT_EQ(ours.handle(), -1);
  feeding = false;
  shutdown(peer, SHUT_RDWR);
  feeder.join();
  close(peer);
}

}  // namespace
}  // namespace netrove
