// ConnectToHost: host-text rules, the failure cache, the connect bound.
#include "net/connect.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "net/net_settings.h"
#include "net/resolver.h"
#include "net_test_util.h"

namespace netrove {
namespace {

TEST(ParseHostTextTest, SchemePortPathAndDefaults) {
  auto t = ParseHostText("http://www.example.org:8080/index.html", 80);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->name, "www.example.org");
  EXPECT_EQ(t->port, 8080);

  t = ParseHostText("www.example.org:http/x", 80);  // not a number: default port
  ASSERT_TRUE(t);
  EXPECT_EQ(t->name, "www.example.org");
  EXPECT_EQ(t->port, 80);

  t = ParseHostText("mail.example.org:99999", 25);  // out of range: default
  EXPECT_EQ(t->port, 25);
  t = ParseHostText("host:", 25);
  EXPECT_EQ(t->port, 25);
  EXPECT_EQ(t->name, "host");

  t = ParseHostText("news.example.org\r\n", 119);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->name, "news.example.org");
  EXPECT_EQ(t->port, 119);

  t = ParseHostText("ftp://a/b:21", 80);  // the path goes before the port is looked for
  EXPECT_EQ(t->name, "a");
  EXPECT_EQ(t->port, 80);

  EXPECT_FALSE(ParseHostText("", 80));
  EXPECT_FALSE(ParseHostText("\r\n\r\n", 80));
}

class ConnectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearFailedConnectCache();
    SetHostLookupForTesting([this](const std::string& name) -> uint32_t {
      ++lookups_;
      if (name == "loop.test") return htonl(INADDR_LOOPBACK);
      return kNoAddress;
    });
  }
  void TearDown() override {
    SetHostLookupForTesting(nullptr);
    ClearFailedConnectCache();
    SetNetTimingsForTesting(NetTimings());
  }
  std::atomic<int> lookups_{0};
};

// A listening socket on 127.0.0.1 with a system-chosen port.
struct TestListener {
  TestListener() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 8);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~TestListener() { close(fd); }
  int fd;
  uint16_t port;
};

TEST_F(ConnectTest, ConnectsThroughSchemePortAndPath) {
  TestListener l;
  const int fds_before = testing::CountOpenFds();
  {
    SocketVar s = ConnectToHost("http://loop.test:" + std::to_string(l.port) + "/a/b?c", 80);
    ASSERT_GT(s.handle(), 2);
    int flags = fcntl(s.handle(), F_GETFD);
    EXPECT_TRUE(flags & FD_CLOEXEC);
    EXPECT_TRUE(SendLine(s, "hello"));
  }
  EXPECT_EQ(testing::CountOpenFds(), fds_before);
  SocketVar by_address = ConnectToHost("127.0.0.1:" + std::to_string(l.port), 0);
  EXPECT_GT(by_address.handle(), 2);
}

TEST_F(ConnectTest, UnresolvedNameIsCachedUntilTheCacheIsEmptied) {
  EXPECT_EQ(ConnectToHost("nowhere.test", 80).handle(), -1);
  EXPECT_EQ(lookups_.load(), 1);
  EXPECT_TRUE(FailedConnectCached("nowhere.test"));
  EXPECT_EQ(ConnectToHost("http://nowhere.test:81/", 80).handle(), -1);
  EXPECT_EQ(lookups_.load(), 1);  // failed at once, no second look-up
  ClearFailedConnectCache();
  EXPECT_EQ(ConnectToHost("nowhere.test", 80).handle(), -1);
  EXPECT_EQ(lookups_.load(), 2);
}

TEST_F(ConnectTest, RefusedPairIsCachedOtherPortsStillTried) {
  uint16_t closed_port;
  {
    TestListener gone;  // a port that surely refuses once closed
    closed_port = gone.port;
  }
  TestListener open_one;
  const std::string pair = "127.0.0.1:" + std::to_string(closed_port);
  EXPECT_EQ(ConnectToHost("loop.test:" + std::to_string(closed_port), 80).handle(), -1);
  EXPECT_TRUE(FailedConnectCached(pair));
  // Now even a listener on that port is not tried during this period.
  EXPECT_EQ(ConnectToHost("127.0.0.1:" + std::to_string(closed_port), 80).handle(), -1);
  EXPECT_EQ(FailedConnectCount(), 1u);
  SocketVar other = ConnectToHost("loop.test:" + std::to_string(open_one.port), 80);
  EXPECT_GT(other.handle(), 2);
}

TEST_F(ConnectTest, EmptyHostGivesNothingWithoutASocket) {
  const int fds_before = testing::CountOpenFds();
  EXPECT_EQ(ConnectToHost("", 80).handle(), -1);
  EXPECT_EQ(ConnectToHost("\r\n", 80).handle(), -1);
  EXPECT_EQ(lookups_.load(), 0);
  EXPECT_EQ(testing::CountOpenFds(), fds_before);
}

TEST_F(ConnectTest, BadUrlCheckerEmptiesTheCache) {
  NetTimings t;
  t.bad_url_period_ms = 100;
  SetNetTimingsForTesting(t);
  TaskHandle checker = StartBadUrlChecker();
  AddFailedConnect("x.test");
  EXPECT_TRUE(testing::WaitUntil([] { return FailedConnectCount() == 0; }, 2000));
  StopTask(checker);
}

TEST_F(ConnectTest, StopRequestEndsAPendingConnect) {
  // A listener whose accept queue is full leaves further connects pending
  // (SYNs dropped) on loopback.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(fd, 0), 0);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  uint16_t port = ntohs(a.sin_port);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(c);
  }
  std::atomic<int> result{0};
  TaskHandle task = StartTask("connector", [&](uint32_t) -> uint32_t {
    SocketVar s = ConnectToHost("127.0.0.1:" + std::to_string(port), 80);
    result = s.handle();
    return 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto start = std::chrono::steady_clock::now();
  StopTask(task);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(result.load(), -1);
  EXPECT_FALSE(FailedConnectCached("127.0.0.1:" + std::to_string(port)));
  for (int c : fillers) close(c);
  close(fd);
}

}  // namespace
}  // namespace netrove
