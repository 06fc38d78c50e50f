// Reading, writing, waiting, relaying and the receive budget on real
// loopback sockets. Bytes that are already waiting are taken without a
// wait, so suspension, stop requests and urgent data must still be seen
// under a steady stream, and nothing may be lost or reordered.
#include "net/socket.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "lib/net_context.h"

namespace netrove {
namespace {

using testing::MsSince;
using testing::Pending;
using testing::Put;
using testing::ReadAll;
using testing::SteadyClock;
using testing::WaitUntil;

std::string Pattern(size_t size, int seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 509 + seed) & 0xff);
  return s;
}

class SocketTest : public ::testing::Test {
 protected:
  testing::NetTestContext ctx_{[](NetOptions& o) {
    o.timings.receive_timeout_ms = 5000;
    o.timings.send_timeout_ms = 5000;
    o.timings.relay_idle_ms = 3000;
  }};
  SocketLayer& layer_ = ctx_.net.sockets();
};

TEST_F(SocketTest, ReadLine) {
  // Sends `sent` (then closes when `closes`), reads one line per limit and
  // compares the lines; the socket stays open unless the last read failed.
  auto check = [this](const char* what, const std::string& sent, bool closes,
                      std::vector<size_t> limits, std::vector<std::string> want) {
    auto [ours, peer] = ctx_.LoopbackPair();
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
  auto [ours, peer] = ctx_.LoopbackPair();
  Put(peer, "hello world");
  ASSERT_TRUE(Pending(ours, 11));
  EXPECT_TRUE(IsConnectionAlive(ours));
  char buf[5];
  ASSERT_EQ(ReadBuffered(ours, buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  // Nothing new on the wire for `ours`, yet it is ready at once, and only it
  // is reported although `other` has bytes in the kernel.
  auto [other, other_peer] = ctx_.LoopbackPair();
  Put(other_peer, "x");
  ASSERT_TRUE(Pending(other, 1));
  std::array<SocketWait, 2> waits = {SocketWait{&ours}, SocketWait{&other, true, true}};
  auto start = SteadyClock::now();
  EXPECT_EQ(WaitReadable(waits, 5000), 1);
  EXPECT_LT(MsSince(start), 500);
  EXPECT_TRUE(waits[0].readable);
  EXPECT_FALSE(waits[1].readable || waits[1].writable);
  ASSERT_EQ(ReadBuffered(ours, buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), " worl");
  CloseSocketVar(peer);
  SocketVar& mine = ours;
  EXPECT_TRUE(WaitUntil([&] { return !IsConnectionAlive(mine); }));
  EXPECT_EQ(ours.handle(), -1);
}

TEST_F(SocketTest, SendLineEndsWithCrLfAndAGonePeerFailsWithoutSigpipe) {
  auto [ours, peer] = ctx_.LoopbackPair();
  EXPECT_TRUE(SendLine(ours, "HELO x"));
  ASSERT_TRUE(Pending(peer, 8));
  EXPECT_EQ(ReadAll(peer.handle(), 100), "HELO x\r\n");
  CloseSocketVar(peer);
  bool failed = false;  // the first sends may still be taken by the kernel
  for (int i = 0; i < 50 && !failed; ++i) failed = !SendBuffer(ours, "data", 4);
  EXPECT_TRUE(failed);
  EXPECT_EQ(ours.handle(), -1);
}

TEST_F(SocketTest, ReceiveSizeWithOneAndTwoHundredReceivingTasks) {
  // Sends `n` bytes to a fresh pair and returns what one ReceiveChunk takes.
  auto chunk = [this](size_t n) {
    auto [ours, peer] = ctx_.LoopbackPair();
    Put(peer, std::string(n, 'a'));
    std::string buf(n, '\0');
    return Pending(ours, n) ? ReceiveChunk(ours, buf.data(), n) : -1;
  };
  EXPECT_EQ(chunk(2000), 512);
  EXPECT_EQ(ReceiveShare(0), 512u);  // a lost count never divides by zero
  // 199 tasks blocked in ReceiveChunk: the 200th gets 5000 / 200 bytes.
  constexpr int kWaiting = 199;
  std::vector<std::pair<SocketVar, SocketVar>> pairs;
  for (int i = 0; i < kWaiting; ++i) pairs.push_back(ctx_.LoopbackPair());
  std::atomic<int> zero_results{0};
  std::vector<std::thread> threads;
  for (auto& p : pairs) {
    threads.emplace_back([&p, &zero_results] {
      char b[512];
      if (ReceiveChunk(p.first, b, sizeof b) == 0) ++zero_results;
    });
  }
  ASSERT_TRUE(WaitUntil([&] { return layer_.ReceivingTasks() == kWaiting; }, 5000));
  EXPECT_EQ(chunk(1000), 50);
  for (auto& p : pairs) CloseSocketVar(p.second);  // each waiting receive ends with 0
  for (auto& t : threads) t.join();
  EXPECT_EQ(zero_results.load(), kWaiting);
  EXPECT_EQ(layer_.ReceivingTasks(), 0);
}

// A read that would wait minutes, and one of a stream that never lets it
// wait, both end at once on a stop; the streaming one also holds while
// tasks are suspended.
TEST_F(SocketTest, StopEndsAWaitingReadAndSuspensionHoldsAStreamingOne) {
  ctx_.SetTimings([](NetTimings& t) { t.receive_timeout_ms = 120000; });
  auto [silent, silent_peer] = ctx_.LoopbackPair();
  std::atomic<bool> done{false};
  SocketVar* silent_var = &silent;
  TaskHandle waiting = ctx_.tasks.Start("silent reader", [&done, silent_var](uint32_t) -> uint32_t {
    std::string line;
    (void)ReadLine(*silent_var, 255, line);
    done = true;
    return 0;
  });
  auto [ours, peer] = ctx_.LoopbackPair();
  const int peer_fd = peer.handle();
  std::atomic<bool> feeding{true};
  std::thread feeder([&feeding, peer_fd] {
    const std::string block(64 << 10, 's');
    auto deadline = SteadyClock::now() + std::chrono::seconds(20);
    while (feeding.load() && SteadyClock::now() < deadline)
      if (send(peer_fd, block.data(), block.size(), MSG_NOSIGNAL) <= 0) break;
  });
  std::atomic<long> received{0};
  std::atomic<int> last{-2};
  SocketVar* var = &ours;
  TaskHandle streaming = ctx_.tasks.Start("Socket 7", [&, var](uint32_t) -> uint32_t {
    char buf[512];
    int n;
    while ((n = ReceiveChunk(*var, buf, sizeof buf)) > 0) received += n;
    last = n;
    return 0;
  });
  ASSERT_TRUE(WaitUntil([&] { return received.load() > (1 << 20); }, 5000));
  ctx_.tasks.SuspendAll();
  std::this_thread::sleep_for(testing::Ms(50));
  long held = received.load();
  std::this_thread::sleep_for(testing::Ms(200));
  EXPECT_EQ(received.load(), held);
  ctx_.tasks.ResumeAll();
  EXPECT_TRUE(WaitUntil([&] { return received.load() > held + (1 << 20); }, 5000));

  ASSERT_FALSE(done.load());
  auto start = SteadyClock::now();
  Tasks::Stop(waiting);
  Tasks::Stop(streaming);
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_TRUE(done.load());
  EXPECT_EQ(last.load(), 0);
  EXPECT_EQ(silent.handle(), -1);
  EXPECT_EQ(ours.handle(), -1);
  feeding = false;
  shutdown(peer_fd, SHUT_RDWR);
  feeder.join();
}

TEST_F(SocketTest, RelayCarriesBothWaysThenEndsWhenIdle) {
  ctx_.SetTimings([](NetTimings& t) { t.relay_idle_ms = 300; });
  auto [a, a_peer] = ctx_.LoopbackPair();
  auto [b, b_peer] = ctx_.LoopbackPair();
  const std::string big(5000, 'z');
  Put(a_peer, big);
  Put(b_peer, "reply");
  SocketVar *pa = &a, *pb = &b;
  std::thread relay([pa, pb] { RelaySockets(*pa, *pb); });
  // Whole on each side, then closed by the relay after the idle time.
  EXPECT_EQ(ReadAll(b_peer.handle(), 3000), big);
  EXPECT_EQ(ReadAll(a_peer.handle(), 3000), "reply");
  relay.join();
  EXPECT_EQ(a.handle(), -1);
  EXPECT_EQ(b.handle(), -1);
}

// 4 MiB one way and 64 KiB the other at the same time: every byte arrives
// in order. Bytes followed at once by the sender's close all arrive before
// the relay closes the far side.
TEST_F(SocketTest, RelayCarriesLargeStreamsWholeUpToTheClose) {
  {
    auto [a, a_peer] = ctx_.LoopbackPair();
    auto [b, b_peer] = ctx_.LoopbackPair();
    const std::string last = Pattern(20000, 3);
    ASSERT_TRUE(testing::SendAll(a_peer.handle(), last));
    shutdown(a_peer.handle(), SHUT_WR);  // queued behind the bytes before the relay starts
    SocketVar *pa = &a, *pb = &b;
    std::thread relay([pa, pb] { RelaySockets(*pa, *pb); });
    std::string got = ReadAll(b_peer.handle(), 10000, last.size() + 1);
    relay.join();
    EXPECT_EQ(got.size(), last.size());
    EXPECT_TRUE(got == last);
  }
  auto [a, a_peer] = ctx_.LoopbackPair();
  auto [b, b_peer] = ctx_.LoopbackPair();
  const std::string down = Pattern(4 << 20, 1), up = Pattern(64 << 10, 2);
  SocketVar *pa = &a, *pb = &b;
  std::thread relay([pa, pb] { RelaySockets(*pa, *pb); });
  std::string got_up, got_down;
  const int a_fd = a_peer.handle(), b_fd = b_peer.handle();
  std::thread a_side([&, a_fd] {
    std::thread reader([&, a_fd] { got_up = ReadAll(a_fd, 20000, up.size()); });
    EXPECT_TRUE(testing::SendAll(a_fd, down));
    reader.join();
    shutdown(a_fd, SHUT_WR);
  });
  std::thread b_side([&, b_fd] {
    std::thread reader([&, b_fd] { got_down = ReadAll(b_fd, 20000, down.size() + 1); });
    EXPECT_TRUE(testing::SendAll(b_fd, up));
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
}

// Urgent data ends a relay without passing anything on, as it fails a
// receive that waited for it.
TEST_F(SocketTest, UrgentDataEndsTheRelay) {
  auto [a, a_peer] = ctx_.LoopbackPair();
  auto [b, b_peer] = ctx_.LoopbackPair();
  // Both are waiting before the relay starts: it must not pass "abc" on.
  ASSERT_EQ(send(a_peer.handle(), "abc", 3, MSG_NOSIGNAL), 3);
  ASSERT_EQ(send(a_peer.handle(), "!", 1, MSG_OOB | MSG_NOSIGNAL), 1);
  const int a_fd = a.handle();
  ASSERT_TRUE(WaitUntil([a_fd] {
    struct pollfd p = {a_fd, POLLPRI, 0};
    return poll(&p, 1, 0) == 1;
  }));
  std::atomic<bool> ended{false};
  SocketVar *pa = &a, *pb = &b;
  std::thread relay([pa, pb, &ended] {
    RelaySockets(*pa, *pb);
    ended = true;
  });
  EXPECT_TRUE(WaitUntil([&] { return ended.load(); }, 1500));
  relay.join();
  EXPECT_EQ(ReadAll(b_peer.handle(), 1000), "");  // closed, nothing relayed
}

// Bytes of an uncounted socket reach the total but not the rate; rates
// are per second over the two-second tick, rounded half to even, and the
// average is that of the ticks with traffic.
TEST_F(SocketTest, TrafficCountersAndRates) {
  TrafficCounters& t = layer_.traffic();
  auto [ours, peer] = ctx_.LoopbackPair();
  auto [uncounted, upeer] = ctx_.LoopbackPair();
  ASSERT_TRUE(layer_.AddUncounted(uncounted.handle()));
  Put(peer, std::string(301, 'a'));
  Put(upeer, std::string(100, 'u'));
  char buf[512];
  ASSERT_TRUE(Pending(ours, 301) && Pending(uncounted, 100));
  EXPECT_EQ(ReceiveChunk(ours, buf, sizeof buf) + ReceiveChunk(uncounted, buf, sizeof buf), 401);
  layer_.RemoveUncounted(uncounted.handle());
  EXPECT_TRUE(SendBuffer(ours, buf, 5));
  layer_.CalcCpsTick();
  EXPECT_EQ(t.received_total.load(), 401u);
  EXPECT_EQ(t.sent_total.load(), 5u);
  std::vector<uint32_t> rates = {t.receive_rate, t.send_rate, t.average_rate};
  t.received_tick = 7;
  layer_.CalcCpsTick();
  rates.insert(rates.end(), {t.receive_rate, t.average_rate});
  layer_.CalcCpsTick();
  rates.insert(rates.end(), {t.receive_rate, t.average_rate});
  // 150.5 -> 150, 2.5 -> 2, then 3.5 -> 4 averaging 77, then a quiet tick.
  EXPECT_EQ(rates, (std::vector<uint32_t>{150, 2, 150, 4, 77, 0, 77}));
  ctx_.net.ZeroTrafficCounters();
  EXPECT_EQ(t.received_total.load() + t.sent_total.load() + ctx_.net.AverageReceiveRate(), 0u);
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
