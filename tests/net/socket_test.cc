// Reading, writing, waiting and the receive budget on real loopback sockets.
#include "net/socket.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "net_test_util.h"
#include "runtime/tasks.h"

namespace netrove {
namespace {

using testing::LoopbackPair;
using testing::Pending;
using testing::Put;

class SocketTest : public ::testing::Test {
 protected:
  testing::TimingsFor timings_{[](NetTimings& t) { t.relay_idle_ms = 300; }};
};

TEST_F(SocketTest, ReadLine) {
  // Sends `sent` (then closes when `closes`), reads one line per limit and
  // compares the lines; the socket stays open unless the last read failed.
  auto check = [](const char* what, const std::string& sent, bool closes,
                  std::vector<size_t> limits, std::vector<std::string> want) {
    auto [ours, peer] = LoopbackPair();
    Put(peer, sent);
    if (closes) CloseSocketVar(peer);
    for (size_t i = 0; i < limits.size(); ++i) {
      std::string line;
      EXPECT_EQ(ReadLine(ours, limits[i], line), !closes || i + 1 < limits.size()) << what;
      EXPECT_EQ(line, want[i]) << what << ", line " << i;
    }
    EXPECT_EQ(ours.is_open(), !closes) << what;
  };
  check("LF and CR LF end lines", "abc\r\ndef\n", false, {255, 255}, {"abc", "def"});
  check("peer closes mid-line", "xyz", true, {255}, {"xyz"});
  check("NUL and CR dropped, other controls kept", std::string("a\0b\rc\x01d\n", 8), false, {255},
        {"abc\x01d"});
  // The limit is looked at every 255 characters; the rest stays for the
  // next read, which ends at the line feed before its limit is looked at.
  check("limit in steps of 255", std::string(600, 'q') + "\n", false, {10, 300},
        {std::string(255, 'q'), std::string(345, 'q')});
}

TEST_F(SocketTest, BufferedBytesCountAsReadableAndAliveChecksConsumeNothing) {
  auto [ours, peer] = LoopbackPair();
  Put(peer, "hello world");
  ASSERT_TRUE(Pending(ours, 11));
  EXPECT_TRUE(IsConnectionAlive(ours));
  char buf[5];
  ASSERT_EQ(ReadBuffered(ours, buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  // Nothing new on the wire for `ours`, yet it is ready at once, and only it
  // is reported although `other` has bytes in the kernel.
  auto [other, other_peer] = LoopbackPair();
  Put(other_peer, "x");
  ASSERT_TRUE(Pending(other, 1));
  std::array<SocketWait, 2> waits = {SocketWait{&ours}, SocketWait{&other, true, true}};
  auto start = testing::SteadyClock::now();
  EXPECT_EQ(WaitReadable(waits, 5000), 1);
  EXPECT_LT(testing::MsSince(start), 500);
  EXPECT_TRUE(waits[0].readable);
  EXPECT_FALSE(waits[1].readable || waits[1].writable);
  ASSERT_EQ(ReadBuffered(ours, buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), " worl");
  CloseSocketVar(peer);
  EXPECT_TRUE(testing::WaitUntil([&] { return !IsConnectionAlive(ours); }, 2000));
  EXPECT_EQ(ours.handle(), -1);
}

TEST_F(SocketTest, SendLineEndsWithCrLfAndAGonePeerFailsWithoutSigpipe) {
  auto [ours, peer] = LoopbackPair();
  EXPECT_TRUE(SendLine(ours, "HELO x"));
  ASSERT_TRUE(Pending(peer, 8));
  EXPECT_EQ(testing::ReadAll(peer.handle(), 100), "HELO x\r\n");
  CloseSocketVar(peer);
  bool failed = false;  // the first sends may still be taken by the kernel
  for (int i = 0; i < 50 && !failed; ++i) failed = !SendBuffer(ours, "data", 4);
  EXPECT_TRUE(failed);
  EXPECT_EQ(ours.handle(), -1);
}

TEST_F(SocketTest, ReceiveSizeWithOneAndTwoHundredReceivingTasks) {
  // Sends `n` bytes to a fresh pair and returns what one ReceiveChunk takes.
  auto chunk = [](size_t n) {
    auto [ours, peer] = LoopbackPair();
    Put(peer, std::string(n, 'a'));
    std::string buf(n, '\0');
    return Pending(ours, n) ? ReceiveChunk(ours, buf.data(), n) : -1;
  };
  EXPECT_EQ(chunk(2000), 512);
  EXPECT_EQ(ReceiveShare(0), 512u);  // a lost count never divides by zero
  // 199 tasks blocked in ReceiveChunk: the 200th gets 5000 / 200 bytes.
  constexpr int kWaiting = 199;
  std::vector<std::pair<SocketVar, SocketVar>> pairs;
  for (int i = 0; i < kWaiting; ++i) pairs.push_back(LoopbackPair());
  std::atomic<int> zero_results{0};
  std::vector<std::thread> threads;
  for (auto& p : pairs) {
    threads.emplace_back([&p, &zero_results] {
      char b[512];
      if (ReceiveChunk(p.first, b, sizeof b) == 0) ++zero_results;
    });
  }
  ASSERT_TRUE(testing::WaitUntil([] { return ReceivingTasks() == kWaiting; }, 5000));
  EXPECT_EQ(chunk(1000), 50);
  for (auto& p : pairs) CloseSocketVar(p.second);  // each waiting receive ends with 0
  for (auto& t : threads) t.join();
  EXPECT_EQ(zero_results.load(), kWaiting);
  EXPECT_EQ(ReceivingTasks(), 0);
}

TEST_F(SocketTest, StopRequestEndsAReadThatWouldWaitMinutes) {
  auto [ours, peer] = LoopbackPair();
  std::atomic<bool> done{false};
  TaskHandle task = StartTask("silent reader", [&](uint32_t) -> uint32_t {
    std::string line;
    (void)ReadLine(ours, 255, line);  // the receive time-out is two minutes
    done = true;
    return 0;
  });
  std::this_thread::sleep_for(testing::Ms(100));  // let it block
  ASSERT_FALSE(done.load());
  auto start = testing::SteadyClock::now();
  StopTask(task);
  EXPECT_TRUE(done.load());
  EXPECT_LT(testing::MsSince(start), 1000);
  EXPECT_EQ(ours.handle(), -1);
}

TEST_F(SocketTest, RelayCarriesBothWaysThenEndsWhenIdle) {
  auto [a, a_peer] = LoopbackPair();
  auto [b, b_peer] = LoopbackPair();
  const std::string big(5000, 'z');
  Put(a_peer, big);
  Put(b_peer, "reply");
  std::thread relay([&] { RelaySockets(a, b); });
  // Whole on each side, then closed by the relay after the idle time.
  EXPECT_EQ(testing::ReadAll(b_peer.handle(), 3000), big);
  EXPECT_EQ(testing::ReadAll(a_peer.handle(), 3000), "reply");
  relay.join();
  EXPECT_EQ(a.handle(), -1);
  EXPECT_EQ(b.handle(), -1);
}

// Bytes of an uncounted socket reach the total but not the rate; rates
// are per second over the two-second tick, rounded half to even, and the
// average is that of the ticks with traffic.
TEST_F(SocketTest, TrafficCountersAndRates) {
  ResetTrafficCounters();
  TrafficCounters& t = Traffic();
  auto [ours, peer] = LoopbackPair();
  auto [uncounted, upeer] = LoopbackPair();
  ASSERT_TRUE(AddUncountedSocket(uncounted.handle()));
  Put(peer, std::string(301, 'a'));
  Put(upeer, std::string(100, 'u'));
  char buf[512];
  ASSERT_TRUE(Pending(ours, 301) && Pending(uncounted, 100));
  EXPECT_EQ(ReceiveChunk(ours, buf, sizeof buf) + ReceiveChunk(uncounted, buf, sizeof buf), 401);
  RemoveUncountedSocket(uncounted.handle());
  EXPECT_TRUE(SendBuffer(ours, buf, 5));
  CalcCpsTick();
  EXPECT_EQ(t.received_total.load(), 401u);
  EXPECT_EQ(t.sent_total.load(), 5u);
  std::vector<uint32_t> rates = {t.receive_rate, t.send_rate, t.average_rate};
  t.received_tick = 7;
  CalcCpsTick();
  rates.insert(rates.end(), {t.receive_rate, t.average_rate});
  CalcCpsTick();
  rates.insert(rates.end(), {t.receive_rate, t.average_rate});
  // 150.5 -> 150, 2.5 -> 2, then 3.5 -> 4 averaging 77, then a quiet tick.
  EXPECT_EQ(rates, (std::vector<uint32_t>{150, 2, 150, 4, 77, 0, 77}));
  ResetTrafficCounters();
}

TEST_F(SocketTest, StandardDescriptorsAreKeptSoSocketsStartAtThree) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    for (int fd : {0, 1, 2}) close(fd);
    KeepStandardDescriptorsOpen();
    _exit(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) >= 3 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace netrove
