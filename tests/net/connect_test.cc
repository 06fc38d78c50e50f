// Connector::Connect: host-text rules, the failure cache, the connect bound.
#include "net/connect.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "lib/net_context.h"

namespace netrove {
namespace {

using testing::BindLoopback;

TEST(ParseHostTextTest, SchemePortPathAndDefaults) {
  auto check = [](const char* text, uint16_t default_port, const char* name, uint16_t port) {
    auto t = ParseHostText(text, default_port);
    ASSERT_TRUE(t) << text;
    EXPECT_EQ(t->name, name) << text;
    EXPECT_EQ(t->port, port) << text;
  };
  check("http://www.example.org:8080/index.html", 80, "www.example.org", 8080);
  check("www.example.org:http/x", 80, "www.example.org", 80);   // not a number: the default
  check("mail.example.org:99999", 25, "mail.example.org", 25);  // out of range: the default
  check("host:", 25, "host", 25);
  check("news.example.org\r\n", 119, "news.example.org", 119);
  check("ftp://a/b:21", 80, "a", 80);  // the path goes before the port is looked for
  for (const char* empty : {"", "\r\n\r\n"}) EXPECT_FALSE(ParseHostText(empty, 80));
}

class ConnectTest : public ::testing::Test {
 protected:
  std::atomic<int> lookups_{0};
  // The resolver caches names in the scratch directory's "hosts".
  testing::NetTestContext ctx_{[this](NetOptions& o) {
    o.host_lookup = [this](const std::string& name) -> uint32_t {
      ++lookups_;
      return name == "loop.test" ? htonl(INADDR_LOOPBACK) : kNoAddress;
    };
  }};
  Connector& connector_ = ctx_.net.connector();
};

TEST_F(ConnectTest, ConnectsThroughSchemePortAndPathWithCloseOnExec) {
  uint16_t port = 0;
  int listener = BindLoopback(port);
  const int fds_before = testing::CountOpenFds();
  for (std::string host : {"http://loop.test:" + std::to_string(port) + "/a/b?c",
                           "127.0.0.1:" + std::to_string(port)}) {
    SocketVar s = connector_.Connect(host, 80);
    ASSERT_GT(s.handle(), 2) << host;
    EXPECT_TRUE(fcntl(s.handle(), F_GETFD) & FD_CLOEXEC) << host;
  }
  // Empty host texts: no look-up and no socket left behind.
  EXPECT_EQ(connector_.Connect("\r\n", 80).handle(), -1);
  EXPECT_EQ(lookups_.load(), 1);
  EXPECT_EQ(testing::CountOpenFds(), fds_before);
  close(listener);
}

TEST_F(ConnectTest, UnresolvedNameIsCachedUntilTheCacheIsEmptied) {
  EXPECT_EQ(connector_.Connect("nowhere.test", 80).handle(), -1);
  EXPECT_TRUE(connector_.FailedCached("nowhere.test"));
  EXPECT_EQ(connector_.Connect("http://nowhere.test:81/", 80).handle(), -1);
  EXPECT_EQ(lookups_.load(), 1);  // failed at once, no second look-up
  ctx_.net.EmptyFailedConnectCache();
  EXPECT_EQ(connector_.Connect("nowhere.test", 80).handle(), -1);
  EXPECT_EQ(lookups_.load(), 2);
}

TEST_F(ConnectTest, RefusedPairIsCachedOtherPortsStillTried) {
  const uint16_t closed_port = testing::FreePort();
  const std::string pair = "127.0.0.1:" + std::to_string(closed_port);
  EXPECT_EQ(connector_.Connect("loop.test:" + std::to_string(closed_port), 80).handle(), -1);
  EXPECT_TRUE(connector_.FailedCached(pair));
  // Even once something listens there, the pair is not tried in this period.
  uint16_t port = closed_port;
  int reopened = BindLoopback(port);
  ASSERT_EQ(port, closed_port);
  EXPECT_EQ(connector_.Connect(pair, 80).handle(), -1);
  EXPECT_EQ(connector_.FailedCount(), 1u);
  uint16_t open_port = 0;
  int open_listener = BindLoopback(open_port);
  EXPECT_GT(connector_.Connect("loop.test:" + std::to_string(open_port), 80).handle(), 2);
  close(open_listener);
  close(reopened);
}

TEST_F(ConnectTest, BadUrlCheckerEmptiesTheCache) {
  ctx_.SetTimings([](NetTimings& t) { t.bad_url_period_ms = 100; });
  ctx_.net.Start();
  connector_.AddFailed("x.test");
  Connector& connector = connector_;
  EXPECT_TRUE(testing::WaitUntil([&] { return connector.FailedCount() == 0; }));
}

TEST_F(ConnectTest, StopRequestEndsAPendingConnect) {
  // A listener whose accept queue is full leaves further connects pending
  // (SYNs dropped) on loopback.
  uint16_t port = 0;
  int listener = BindLoopback(port, SOCK_STREAM, 0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_in a = testing::LoopbackAddress("127.0.0.1", port);
    connect(fillers.back(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  std::atomic<int> result{0};
  TaskHandle task = ctx_.tasks.Start("connector", [&](uint32_t) -> uint32_t {
    result = connector_.Connect("127.0.0.1:" + std::to_string(port), 80).handle();
    return 0;
  });
  std::this_thread::sleep_for(testing::Ms(200));  // let it block
  auto start = testing::SteadyClock::now();
  Tasks::Stop(task);
  EXPECT_LT(testing::MsSince(start), 1000);
  EXPECT_EQ(result.load(), -1);
  // A connect ended by a stop is not the host's fault.
  EXPECT_FALSE(connector_.FailedCached("127.0.0.1:" + std::to_string(port)));
  for (int c : fillers) close(c);
  close(listener);
}

}  // namespace
}  // namespace netrove
