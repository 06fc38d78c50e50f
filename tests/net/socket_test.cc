// Reading, writing, waiting and the receive budget on real loopback sockets.
#include "net/socket.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "net/net_settings.h"
#include "net_test_util.h"
#include "runtime/tasks.h"

namespace netrove {
namespace {

using testing::LoopbackPair;
using testing::Put;
using testing::WaitUntil;

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NetTimings t;
    t.receive_timeout_ms = 2000;
    t.relay_idle_ms = 300;
    SetNetTimingsForTesting(t);
  }
  void TearDown() override { SetNetTimingsForTesting(NetTimings()); }
};

TEST_F(SocketTest, ReadLineCases) {
  {
    auto [ours, peer] = LoopbackPair();
    Put(peer, "abc\r\ndef\n");
    std::string line;
    EXPECT_TRUE(ReadLine(ours, 255, line));
    EXPECT_EQ(line, "abc");
    EXPECT_TRUE(ReadLine(ours, 255, line));
    EXPECT_EQ(line, "def");
  }
  {  // the peer closes after three letters
    auto [ours, peer] = LoopbackPair();
    Put(peer, "xyz");
    CloseSocketVar(peer);
    std::string line;
    EXPECT_FALSE(ReadLine(ours, 255, line));
    EXPECT_EQ(line, "xyz");
    EXPECT_EQ(ours.handle(), -1);
  }
  {  // NUL and CR inside a line are dropped, other control bytes kept
    auto [ours, peer] = LoopbackPair();
    Put(peer, std::string("a\0b\rc\x01d\n", 8));
    std::string line;
    EXPECT_TRUE(ReadLine(ours, 255, line));
    EXPECT_EQ(line, "abc\x01d");
  }
  {  // the limit acts in steps of 255 characters; the rest stays for the next read
    auto [ours, peer] = LoopbackPair();
    Put(peer, std::string(600, 'q') + "\n");
    std::string line;
    EXPECT_TRUE(ReadLine(ours, 10, line));
    EXPECT_EQ(line.size(), 255u);
    EXPECT_TRUE(ReadLine(ours, 300, line));
    EXPECT_EQ(line.size(), 345u);  // the line feed comes before the limit is looked at again
    EXPECT_EQ(ours.buffered(), 0u);
  }
}

TEST_F(SocketTest, ReadBufferedServesAheadAndWaitReadableSeesIt) {
  auto [ours, peer] = LoopbackPair();
  Put(peer, "hello world");
  char buf[5];
  ASSERT_EQ(ReadBuffered(ours, buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(ours.buffered(), 6u);
  // Nothing new on the wire, but the buffer holds bytes: ready at once,
  // and only that socket is reported.
  auto [other, other_peer] = LoopbackPair();
  Put(other_peer, "x");
  ASSERT_TRUE(WaitUntil([&] { return IsConnectionAlive(other); }, 1000));
  std::array<SocketWait, 2> waits = {SocketWait{&ours}, SocketWait{&other, true, true}};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitReadable(waits, 5000), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_TRUE(waits[0].readable);
  EXPECT_FALSE(waits[1].readable);
  EXPECT_FALSE(waits[1].writable);
  // Closed socket: -1 and no change.
  SocketVar closed;
  EXPECT_EQ(ReadBuffered(closed, buf, 5), -1);
}

TEST_F(SocketTest, SendBufferZeroLengthAndFailure) {
  auto [ours, peer] = LoopbackPair();
  EXPECT_TRUE(SendBuffer(ours, "", 0));
  int fd = ours.handle();
  EXPECT_GT(fd, 2);
  SocketVar closed;
  EXPECT_TRUE(SendBuffer(closed, "", 0));
  EXPECT_FALSE(SendBuffer(closed, "x", 1));
  // A peer that has gone: the send fails (no SIGPIPE) and closes our side.
  CloseSocketVar(peer);
  bool failed = false;
  for (int i = 0; i < 50 && !failed; ++i) failed = !SendBuffer(ours, "data", 4);
  EXPECT_TRUE(failed);
  EXPECT_EQ(ours.handle(), -1);
}

TEST_F(SocketTest, SendLineAddsCrLf) {
  auto [ours, peer] = LoopbackPair();
  EXPECT_TRUE(SendLine(ours, "HELO x"));
  char buf[16] = {};
  ASSERT_TRUE(
      WaitUntil([&] { return recv(peer.handle(), buf, 8, MSG_PEEK | MSG_DONTWAIT) == 8; }, 1000));
  EXPECT_EQ(std::string(buf, 8), "HELO x\r\n");
}

TEST_F(SocketTest, ReceiveShareWithOneAndTwoHundredTasks) {
  EXPECT_EQ(ReceiveShare(0), 512u);
  EXPECT_EQ(ReceiveShare(1), 512u);
  EXPECT_EQ(ReceiveShare(10), 500u);
  EXPECT_EQ(ReceiveShare(200), 50u);

  {  // one task: at most 512
    auto [ours, peer] = LoopbackPair();
    Put(peer, std::string(2000, 'a'));
    char buf[2000];
    ASSERT_TRUE(WaitUntil(
        [&] { return recv(ours.handle(), buf, 2000, MSG_PEEK | MSG_DONTWAIT) == 2000; }, 1000));
    EXPECT_EQ(ReceiveChunk(ours, buf, sizeof buf), 512);
  }
  // 199 tasks blocked in ReceiveChunk, then the 200th gets 50 bytes.
  constexpr int kWaiting = 199;
  std::vector<std::pair<SocketVar, SocketVar>> pairs;
  for (int i = 0; i < kWaiting; ++i) pairs.push_back(LoopbackPair());
  std::vector<std::thread> threads;
  std::atomic<int> zero_results{0};
  for (auto& p : pairs) {
    threads.emplace_back([&p, &zero_results] {
      char b[512];
      if (ReceiveChunk(p.first, b, sizeof b) == 0) ++zero_results;
    });
  }
  ASSERT_TRUE(WaitUntil([] { return ReceivingTasks() == kWaiting; }, 5000));
  auto [ours, peer] = LoopbackPair();
  Put(peer, std::string(1000, 'b'));
  char buf[1000];
  ASSERT_TRUE(WaitUntil(
      [&] { return recv(ours.handle(), buf, 1000, MSG_PEEK | MSG_DONTWAIT) == 1000; }, 1000));
  EXPECT_EQ(ReceiveChunk(ours, buf, sizeof buf), 50);
  for (auto& p : pairs) CloseSocketVar(p.second);  // peers go: each receive ends with 0
  for (auto& t : threads) t.join();
  EXPECT_EQ(zero_results.load(), kWaiting);
  EXPECT_EQ(ReceivingTasks(), 0);
  for (auto& p : pairs) EXPECT_EQ(p.first.handle(), -1);
}

TEST_F(SocketTest, SilentPeerTimesOutAndStopEndsTheWait) {
  NetTimings t;
  t.receive_timeout_ms = 300;
  SetNetTimingsForTesting(t);
  auto [ours, peer] = LoopbackPair();
  std::string line;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ReadLine(ours, 255, line));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::milliseconds(3000));
  EXPECT_EQ(ours.handle(), -1);

  // A long time-out, ended by a stop request of the reading task.
  t.receive_timeout_ms = 60000;
  SetNetTimingsForTesting(t);
  auto [ours2, peer2] = LoopbackPair();
  std::atomic<bool> done{false};
  TaskHandle task = StartTask("silent reader", [&](uint32_t) -> uint32_t {
    std::string l;
    (void)ReadLine(ours2, 255, l);
    done = true;
    return 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(done.load());
  start = std::chrono::steady_clock::now();
  StopTask(task);
  EXPECT_TRUE(done.load());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(ours2.handle(), -1);
}

TEST_F(SocketTest, IsConnectionAliveSeesThePeerGo) {
  auto [ours, peer] = LoopbackPair();
  EXPECT_TRUE(IsConnectionAlive(ours));
  Put(peer, "x");  // pending data: still alive and nothing consumed
  ASSERT_TRUE(WaitUntil([&] { return ours.buffered() == 0 && IsConnectionAlive(ours); }, 500));
  char c;
  EXPECT_EQ(ReadBuffered(ours, &c, 1), 1);
  CloseSocketVar(peer);
  EXPECT_TRUE(WaitUntil([&] { return !IsConnectionAlive(ours); }, 2000));
  EXPECT_EQ(ours.handle(), -1);
  SocketVar none;
  EXPECT_FALSE(IsConnectionAlive(none));
}

TEST_F(SocketTest, RelayCarriesBothWaysAndClosesBoth) {
  auto [a, a_peer] = LoopbackPair();
  auto [b, b_peer] = LoopbackPair();
  std::string big(5000, 'z');
  Put(a_peer, big);
  Put(b_peer, "reply");
  std::thread relay([&] { RelaySockets(a, b); });
  std::string got_b, got_a;
  char buf[8192];
  ASSERT_TRUE(WaitUntil(
      [&] {
        ssize_t n = recv(b_peer.handle(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) got_b.append(buf, static_cast<size_t>(n));
        return got_b.size() >= big.size();
      },
      3000));
  ASSERT_TRUE(WaitUntil(
      [&] {
        ssize_t n = recv(a_peer.handle(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) got_a.append(buf, static_cast<size_t>(n));
        return got_a.size() >= 5;
      },
      3000));
  EXPECT_EQ(got_b, big);
  EXPECT_EQ(got_a, "reply");
  relay.join();  // both silent: ends after the (shortened) idle time
  EXPECT_EQ(a.handle(), -1);
  EXPECT_EQ(b.handle(), -1);
}

TEST_F(SocketTest, SocketVarIsMoveOnlyOwner) {
  int before = testing::CountOpenFds();
  {
    auto [ours, peer] = LoopbackPair();
    SocketVar moved = std::move(ours);
    EXPECT_EQ(ours.handle(), -1);
    EXPECT_GT(moved.handle(), 2);
    SocketVar target;
    target = std::move(moved);
    EXPECT_GT(target.handle(), 2);
  }
  EXPECT_EQ(testing::CountOpenFds(), before);
}

TEST_F(SocketTest, TrafficCountersAndRates) {
  ResetTrafficCounters();
  TrafficCounters& t = Traffic();
  {
    auto [ours, peer] = LoopbackPair();
    auto [uncounted, upeer] = LoopbackPair();
    ASSERT_TRUE(AddUncountedSocket(uncounted.handle()));
    Put(peer, std::string(301, 'a'));
    Put(upeer, std::string(100, 'u'));
    char buf[512];
    ASSERT_TRUE(WaitUntil(
        [&] { return recv(ours.handle(), buf, 301, MSG_PEEK | MSG_DONTWAIT) == 301; }, 1000));
    ASSERT_TRUE(WaitUntil(
        [&] { return recv(uncounted.handle(), buf, 100, MSG_PEEK | MSG_DONTWAIT) == 100; }, 1000));
    EXPECT_EQ(ReceiveChunk(ours, buf, sizeof buf), 301);
    EXPECT_EQ(ReceiveChunk(uncounted, buf, sizeof buf), 100);
    RemoveUncountedSocket(uncounted.handle());
    EXPECT_TRUE(SendBuffer(ours, buf, 5));
  }
  EXPECT_EQ(t.received_total.load(), 401u);
  EXPECT_EQ(t.received_tick.load(), 301u);
  CalcCpsTick();
  EXPECT_EQ(t.receive_rate.load(), 150u);  // 150.5 rounds to the even 150
  EXPECT_EQ(t.send_rate.load(), 2u);       // 2.5 -> 2
  EXPECT_EQ(t.sent_total.load(), 5u);
  EXPECT_EQ(t.average_rate.load(), 150u);
  t.received_tick = 7;  // 3.5 -> 4
  CalcCpsTick();
  EXPECT_EQ(t.receive_rate.load(), 4u);
  EXPECT_EQ(t.average_rate.load(), 77u);  // (150 + 4) / 2
  CalcCpsTick();                          // a tick without traffic leaves the average alone
  EXPECT_EQ(t.receive_rate.load(), 0u);
  EXPECT_EQ(t.average_rate.load(), 77u);
  ResetTrafficCounters();
}

TEST_F(SocketTest, StandardDescriptorsAreKeptSoSocketsStartAtThree) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(0);
    close(1);
    close(2);
    KeepStandardDescriptorsOpen();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    _exit(fd >= 3 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace netrove
