// The socket layer and the port servers on real loopback sockets.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>

#include "lib/net_context.h"
#include "net/line_protocol.h"
#include "net/port_server.h"
#include "runtime/rate_limit.h"

namespace netrove {
namespace {

using namespace netrove::testing;

std::string Pattern(size_t size, int seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 509 + seed) & 0xff);
  return s;
}

uint32_t Echo(SocketVar& client) {
  char buf[900];
  for (int n; (n = ReadBuffered(client, buf, sizeof buf)) > 0;)
    if (!SendBuffer(client, buf, static_cast<size_t>(n))) break;
  return 0;
}

class SocketTest : public ::testing::Test {
 protected:
  std::thread Relay(SocketVar& a, SocketVar& b) {
    return std::thread([&a, &b] { RelaySockets(a, b); });
  }

  NetTestContext ctx_{[](NetOptions& o) {
    o.timings.receive_timeout_ms = o.timings.send_timeout_ms = 5000;
    o.timings.relay_idle_ms = 1000;
  }};
  SocketLayer& layer_ = ctx_.net.sockets();
  PortServers& ports_ = ctx_.net.ports();
};

TEST_F(SocketTest, ReadLine) {
  // Sends `sent` (then closes), reads one line per limit.
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
  // The limit is looked at every 255 characters; the rest is for the next read.
  check("limit in steps of 255", std::string(600, 'q') + "\n", false, {10, 300},
        {std::string(255, 'q'), std::string(345, 'q')});
}

// The line engine: capped lines, both reply styles, dot bodies, each bounded.
TEST_F(SocketTest, LineEngineRepliesBodiesAndBounds) {
  auto [ours, peer] = ctx_.LoopbackPair();
  LineChannel channel(ours, ctx_.env,
                      LineLimits{.max_line = 8, .deadline_ms = 500, .max_reply_lines = 3});
  Put(peer, "one\r\n" + std::string(20, 'l') + "\r\nnext\n");
  std::string line;
  ASSERT_EQ(channel.ReadLine(line), LineChannel::Read::kLine);
  EXPECT_TRUE(line == "one" && !channel.cut());
  ASSERT_EQ(channel.ReadLine(line), LineChannel::Read::kLine);
  EXPECT_TRUE(line == std::string(8, 'l') && channel.cut());  // the rest of it is dropped
  ASSERT_EQ(channel.ReadLine(line), LineChannel::Read::kLine);
  EXPECT_EQ(line, "next");

  Put(peer,
      "+OK hi\r\n-ERR no\r\n250-a\r\nfree text\r\n250 done\r\n220 "
      "x\r\n550-1\r\n550-2\r\n550-3\r\n");
  EXPECT_TRUE(channel.ReadReply(ReplyStyle::kPop3)->positive);
  EXPECT_FALSE(channel.ReadReply(ReplyStyle::kPop3)->positive);
  std::optional<LineReply> multi = channel.ReadReply(ReplyStyle::kNumeric);
  ASSERT_TRUE(multi);
  EXPECT_EQ(std::tie(multi->code, multi->text, multi->positive),
            std::make_tuple(250, std::string("250 done"), true));
  EXPECT_EQ(multi->lines.size(), 3u);
  EXPECT_EQ(channel.ReadReply(ReplyStyle::kNumeric)->code, 220);
  EXPECT_FALSE(channel.ReadReply(ReplyStyle::kNumeric));  // more lines than allowed

  std::vector<std::string> body;
  auto keep = [&](std::string_view l) {
    body.emplace_back(l);
    return true;
  };
  Put(peer, "a\r\n..b\r\n" + std::string(30, 'x') + "\r\n.\r\n");
  EXPECT_EQ(channel.ReadDotBody(100, keep), LineChannel::Body::kComplete);  // lines never cut
  EXPECT_EQ(body, (std::vector<std::string>{"a", ".b", std::string(30, 'x')}));
  // Over the body's bound, the rest is read away; the next body is whole.
  Put(peer, std::string(60, 'y') + "\r\n" + std::string(60, 'y') + "\r\n" + std::string(200, 'z') +
                "\r\n.\r\nok\r\n.\r\n");
  EXPECT_EQ(channel.ReadDotBody(100, keep), LineChannel::Body::kTooLarge);
  body.clear();
  EXPECT_EQ(channel.ReadDotBody(100, keep), LineChannel::Body::kComplete);
  EXPECT_EQ(body, std::vector<std::string>{"ok"});
  // Silence ends a read at the deadline.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(channel.ReadDotBody(100, keep), LineChannel::Body::kFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));

  ASSERT_TRUE(channel.SendBodyLine(".lead") && channel.SendBodyLine("x") && channel.EndBody());
  EXPECT_EQ(ReadAll(peer.handle(), 500), "..lead\r\nx\r\n.\r\n");
}

// Read-ahead bytes make a socket readable at once (only it is reported);
// alive checks consume nothing; a send to a gone peer fails, no SIGPIPE.
TEST_F(SocketTest, BufferedBytesWaitsAliveChecksAndSends) {
  auto [ours, peer] = ctx_.LoopbackPair();
  auto [other, other_peer] = ctx_.LoopbackPair();
  Put(peer, "hello world");
  Put(other_peer, "x");
  ASSERT_TRUE(Pending(ours, 11) && Pending(other, 1));
  EXPECT_TRUE(IsConnectionAlive(ours));
  char buf[5];
  ASSERT_EQ(ReadBuffered(ours, buf, 5), 5);
  std::array<SocketWait, 2> waits = {SocketWait{&ours}, SocketWait{&other, true, true}};
  EXPECT_EQ(WaitReadable(waits, 5000), 1);
  EXPECT_TRUE(waits[0].readable && !waits[1].readable && !waits[1].writable);
  ASSERT_EQ(ReadBuffered(ours, buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), " worl");
  CloseSocketVar(peer);
  SocketVar& mine = ours;
  EXPECT_TRUE(WaitUntil([&] { return !IsConnectionAlive(mine); }));
  EXPECT_EQ(ours.handle(), -1);
  CloseSocketVar(other_peer);
  bool failed = false;  // the first sends may still be taken by the kernel
  for (int i = 0; i < 50 && !failed; ++i) failed = !SendBuffer(other, "data", 4);
  EXPECT_TRUE(failed && other.handle() == -1);
}

// At most 512 bytes, and a share of 5000 among the receiving tasks (50 at least).
TEST_F(SocketTest, ReceiveSizeAndShare) {
  auto chunk = [this](size_t n) {  // what one ReceiveChunk takes of `n` bytes sent
    auto [ours, peer] = ctx_.LoopbackPair();
    Put(peer, std::string(n, 'a'));
    std::string buf(n, '\0');
    return Pending(ours, n) ? ReceiveChunk(ours, buf.data(), n) : -1;
  };
  EXPECT_EQ(chunk(2000), 512);
  layer_.receiving() = 19;  // as if 19 other tasks were receiving
  EXPECT_EQ(chunk(1000), 250);
  layer_.receiving() = 199;
  EXPECT_EQ(chunk(1000), 50);
  EXPECT_EQ(layer_.ReceivingTasks(), 199);
  layer_.receiving() = 0;
  EXPECT_EQ(ReceiveShare(0), 512u);  // a lost count never divides by zero
}

// A read that never waits still passes the pause gate and sees a stop.
TEST_F(SocketTest, SuspensionAndStopHoldAStreamingRead) {
  auto [ours, peer] = ctx_.LoopbackPair();
  std::atomic<long> received{0};
  std::atomic<int> last{-2};
  TaskHandle reader = ctx_.tasks.Start("reader", [&, &s = ours](uint32_t) -> uint32_t {
    char buf[64];  // small reads: the stream stays ahead, a read never waits
    int n;
    while ((n = ReceiveChunk(s, buf, sizeof buf)) > 0) received += n;
    last = n;
    return 0;
  });
  std::thread feeder([fd = peer.handle()] {  // until the socket is shut down
    const std::string block(64 << 10, 's');
    while (send(fd, block.data(), block.size(), MSG_NOSIGNAL) > 0) {
    }
  });
  EXPECT_TRUE(WaitUntil([&] { return received.load() > (1 << 20); }, 5000));
  ctx_.tasks.SuspendAll();
  std::this_thread::sleep_for(Ms(50));
  long held = received.load();
  std::this_thread::sleep_for(Ms(200));
  EXPECT_EQ(received.load(), held);
  ctx_.tasks.ResumeAll();
  EXPECT_TRUE(WaitUntil([&] { return received.load() > held + (1 << 20); }, 5000));
  EXPECT_LT(MsTaken([&] { Tasks::Stop(reader); }), 1000);
  EXPECT_TRUE(last.load() == 0 && ours.handle() == -1);
  shutdown(peer.handle(), SHUT_RDWR);
  feeder.join();
}

// Bytes followed at once by the sender's close all arrive before the relay
// closes the far side; big streams both ways at once arrive whole.
TEST_F(SocketTest, RelayCarriesStreamsWholeUpToTheCloseAndEndsWhenIdle) {
  {
    auto [a, a_peer] = ctx_.LoopbackPair();
    auto [b, b_peer] = ctx_.LoopbackPair();
    const std::string last = Pattern(20000, 3);
    Put(a_peer, last);
    shutdown(a_peer.handle(), SHUT_WR);  // queued behind the bytes before the relay starts
    std::thread relay = Relay(a, b);
    std::string got = ReadAll(b_peer.handle(), 10000, last.size() + 1);
    relay.join();
    EXPECT_TRUE(got == last) << got.size() << " bytes of " << last.size();
  }
  auto [a, a_peer] = ctx_.LoopbackPair();
  auto [b, b_peer] = ctx_.LoopbackPair();
  const std::string down = Pattern(4 << 20, 1), up = Pattern(64 << 10, 2);
  std::string got_up, got_down;
  std::thread relay = Relay(a, b);
  std::thread up_reader([&, fd = a_peer.handle()] { got_up = ReadAll(fd, 20000); });
  std::thread down_reader([&, fd = b_peer.handle()] { got_down = ReadAll(fd, 20000); });
  Put(b_peer, up);
  Put(a_peer, down);
  relay.join();  // then the relay closes the readers' sockets
  up_reader.join();
  down_reader.join();
  EXPECT_TRUE(got_up == up) << got_up.size() << " bytes of " << up.size();
  EXPECT_TRUE(got_down == down) << got_down.size() << " bytes of " << down.size();
  EXPECT_TRUE(a.handle() == -1 && b.handle() == -1);
}

// Urgent data ends a relay without passing on the bytes before it.
TEST_F(SocketTest, UrgentDataEndsTheRelay) {
  auto [a, a_peer] = ctx_.LoopbackPair();
  auto [b, b_peer] = ctx_.LoopbackPair();
  ctx_.SetTimings([](NetTimings& t) { t.relay_idle_ms = 10000; });
  ASSERT_EQ(send(a_peer.handle(), "abc", 3, MSG_NOSIGNAL), 3);
  ASSERT_EQ(send(a_peer.handle(), "!", 1, MSG_OOB | MSG_NOSIGNAL), 1);
  ASSERT_TRUE(WaitUntil([fd = a.handle()] {
    struct pollfd p = {fd, POLLPRI, 0};
    return poll(&p, 1, 0) == 1;
  }));
  EXPECT_LT(MsTaken([&] { Relay(a, b).join(); }), 1500);
  EXPECT_EQ(ReadAll(b_peer.handle(), 1000), "");  // closed, nothing relayed
}

// Rates are per second of the two-second tick, rounded half to even, and
// averaged over the ticks with traffic.
TEST_F(SocketTest, TrafficCountersAndRates) {
  TrafficCounters& t = layer_.traffic();
  auto [ours, peer] = ctx_.LoopbackPair();
  Put(peer, std::string(301, 'a'));
  char buf[512];
  ASSERT_TRUE(Pending(ours, 301));
  EXPECT_EQ(ReceiveChunk(ours, buf, sizeof buf), 301);
  EXPECT_TRUE(SendBuffer(ours, buf, 5));
  layer_.CalcCpsTick();
  EXPECT_EQ(std::pair(t.received_total.load(), t.sent_total.load()), std::pair(301u, 5u));
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
  if (pid == 0) {
    for (int fd : {0, 1, 2}) close(fd);
    KeepStandardDescriptorsOpen();
    _exit(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) >= 3 ? 0 : 1);
  }
  int status = 1;
  EXPECT_TRUE(pid > 0 && waitpid(pid, &status, 0) == pid && status == 0) << status;
}

// The next client beyond an address's share is closed at once and reported
// (a few lines, not one per attempt); another address is still served.
TEST_F(SocketTest, OneAddressCannotTakeTheServerFromOthers) {
  ctx_.tasks.Reap();
  const int fds_before = CountOpenFds(), slots_before = ctx_.tasks.SlotsInUse();
  SocketVar listener;
  std::atomic<bool> release{false};
  ClientCaps& caps = ctx_.net.caps();
  ports_.ListenTcp(
      0, listener,
      [&](SocketVar& client) -> uint32_t {
        char c;
        if (ReadBuffered(client, &c, 1) == 1 && c == 'w')
          WaitUntil([&] { return release.load(); }, 20000);
        return SendBuffer(client, "ok", 2) ? 0 : 1;
      },
      false);
  const uint16_t port = GetLocalPort(listener.handle());
  std::vector<int> idle;
  for (int i = 0; i < kMaxClientsPerAddress; ++i) {
    idle.push_back(ConnectLoopback(port));
    ASSERT_EQ(send(idle.back(), "w", 1, MSG_NOSIGNAL), 1);
  }
  ASSERT_TRUE(WaitUntil([&] { return caps.Total() == kMaxClientsPerAddress; }, 5000));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Ask(port, "x"), "") << i;
  EXPECT_EQ(Ask(port, "x", "127.0.0.2"), "ok");
  // A loopback listener serves this program's own connections: no cap per address.
  SocketVar own;
  ports_.ListenTcpLoopback(0, own, [](SocketVar& c) { return SendBuffer(c, "me", 2) ? 0u : 1u; });
  EXPECT_EQ(Ask(GetLocalPort(own.handle()), "x"), "me");
  CloseSocketVar(own);
  const int refusals =
      ctx_.Count("WARNING! 127.0.0.1 Too many connections to port " + std::to_string(port));
  EXPECT_TRUE(refusals >= 1 && refusals <= 2 * RateLimiter::kBurst) << refusals;
  release = true;
  for (int fd : idle) {
    EXPECT_EQ(ReadAll(fd, 3000), "ok");
    close(fd);
  }
  EXPECT_TRUE(WaitUntil([&] { return caps.Total() == 0; }));
  EXPECT_EQ(Ask(port, "x"), "ok");  // the address's share is back
  CloseSocketVar(listener);
  Tasks& tasks = ctx_.tasks;
  EXPECT_TRUE(WaitUntil([&] {
    tasks.Reap();
    return tasks.SlotsInUse() == slots_before && CountOpenFds() == fds_before;
  })) << tasks.SlotsInUse()
      << " slots, " << CountOpenFds() << " fds";
}

// A client that reconnects the moment it sees the close must find its
// place free, even while the task that closed it has not yet ended.
TEST_F(SocketTest, AClientsPlaceIsFreeOnceItSeesTheClose) {
  SocketVar listener;
  auto release = std::make_shared<std::atomic<int>>(0);  // 1: go on; 2: the handler ended
  ports_.ListenTcp(
      0, listener,
      [release](SocketVar& client) -> uint32_t {
        bool sent = SendBuffer(client, "ok", 2);
        CloseSocketVar(client);
        WaitUntil([&] { return release->load() == 1; });
        *release = 2;
        return sent ? 0 : 1;
      },
      false);
  EXPECT_EQ(Ask(GetLocalPort(listener.handle()), "x"), "ok");
  EXPECT_EQ(ctx_.net.caps().Total(), 0);
  *release = 1;
  EXPECT_TRUE(WaitUntil([&] { return release->load() == 2; }));
  CloseSocketVar(listener);
}

// A datagram is taken off the socket for its task: a handler slow to read
// it holds nobody up. A later registration (a reload) restarts the server.
TEST_F(SocketTest, ListenersDatagramsAndShutdown) {
  ctx_.tasks.Reap();
  const int fds_before = CountOpenFds();
  std::vector<SocketVar> tcp(kListenerTableSize + 1);
  SocketVar udp, busy;
  std::atomic<int> misnamed{0}, late{0}, answered{0};
  ports_.ListenTcp(0, tcp[0], Echo, false);
  ports_.ListenUdp(
      0, udp,
      [&](UdpDatagramTicket& ticket) -> uint32_t {
        misnamed += CurrentTaskName() != "USocket " + std::to_string(ticket.socket());
        char buf[64];
        sockaddr_in from{};
        int n = ticket.ReceiveDatagram(buf, sizeof buf, &from);
        if (n == 4 && WaitUntil([&] { return answered.load() == 3; }, 10000)) late = n;
        if (n != 4)
          sendto(ticket.socket(), buf, n, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
        return 0;
      },
      false);
  const uint16_t udp_port = GetLocalPort(udp.handle());
  UdpAsk(udp_port, "late", "127.0.0.1", 0);  // four bytes: answered last
  for (std::string msg : {"one", "two", "three"}) {
    EXPECT_EQ(UdpAsk(udp_port, msg, "127.0.0.1", 3000, msg.size()), msg);
    ++answered;
  }
  EXPECT_TRUE(WaitUntil([&] { return late.load() == 4; }));
  EXPECT_EQ(misnamed.load(), 0);
  const uint16_t first = GetLocalPort(tcp[0].handle());
  ports_.ListenTcpLoopback(first, busy, Echo);  // SO_REUSEADDR does not allow two listeners
  EXPECT_EQ(busy.handle(), -1);
  for (int i = 1; i <= kListenerTableSize; ++i) ports_.ListenTcpLoopback(0, tcp[i], Echo);
  EXPECT_EQ(ports_.TcpListenerCount(), kListenerTableSize);
  EXPECT_EQ(tcp.back().handle(), -1);
  const uint16_t last = GetLocalPort(tcp[kListenerTableSize - 1].handle());
  EXPECT_EQ(Ask(first, "ping") + Ask(last, "pong"), "pingpong");
  Tasks& tasks = ctx_.tasks;
  auto fds_are = [&](int n) {
    return WaitUntil([&] { return tasks.Reap(), CountOpenFds() == n; });
  };
  EXPECT_TRUE(fds_are(fds_before + kListenerTableSize + 1 + 2));
  ctx_.net.Shutdown();
  EXPECT_TRUE(tcp[0].handle() == -1 && udp.handle() == -1);
  EXPECT_EQ(ports_.TcpListenerCount() + ports_.UdpListenerCount(), 0);
  EXPECT_EQ(Ask(first, "") + Ask(last, ""), "<refused><refused>");
  EXPECT_TRUE(fds_are(fds_before));
  SocketVar again;
  ports_.ListenTcpLoopback(last, again, Echo);
  EXPECT_EQ(Ask(last, "hi"), "hi");
}

// A network that ends stops its client tasks first (they use its layer and
// caps), also one that would wait minutes.
TEST_F(SocketTest, SilentClientsAreDroppedAndStoppedWithTheNetwork) {
  auto net = std::make_unique<Network>(
      ctx_.env, ctx_.tasks, ctx_.log, ctx_.config, ctx_.shared,
      ctx_.Options([](NetOptions& o) { o.timings.receive_timeout_ms = 300; }));
  SocketVar listener;
  std::string name;
  std::atomic<int> started{0}, ended{0};
  net->ports().ListenTcpLoopback(0, listener, [&](SocketVar& client) -> uint32_t {
    if (started++ == 0) name = CurrentTaskName();
    std::string line;
    (void)ReadLine(client, 255, line);
    return ++ended;
  });
  const uint16_t port = GetLocalPort(listener.handle());
  const int64_t took = MsTaken([&] { EXPECT_EQ(Ask(port, "", "127.0.0.1", false), ""); });
  EXPECT_TRUE(took >= 250 && took < 3000) << took;  // closed by the server
  ASSERT_TRUE(WaitUntil([&] { return ended.load() == 1; }));
  EXPECT_EQ(name, "Socket " + std::to_string(listener.handle()));
  ctx_.SetTimings([](NetTimings& t) { t.receive_timeout_ms = 120000; });
  net->sockets().SetTimings(layer_.Timings());
  int fd = ConnectLoopback(port);
  ASSERT_TRUE(WaitUntil([&] { return started.load() == 2; }));
  CloseSocketVar(listener);
  EXPECT_LT(MsTaken([&] { net.reset(); }), 1000);
  EXPECT_EQ(ended.load(), 2);
  close(fd);
}

}  // namespace
}  // namespace netrove
