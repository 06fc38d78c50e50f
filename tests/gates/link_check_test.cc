// The URL check against loopback origins, and the two watch tasks with
// shortened periods and an injected clock.
#include "accounting/link_check.h"

#include <gtest/gtest.h>

#include <atomic>

#include "config/config.h"
#include "gates_test_util.h"
#include "net/connect.h"
#include "net/link_users.h"
#include "runtime/local_clock.h"
#include "runtime/shared_state.h"

namespace netrove::checks {
namespace {

using netrove::testing::FreeTcpPort;
using netrove::testing::LogCapture;
using netrove::testing::TcpOrigin;
using netrove::testing::WaitUntil;

class LinkCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Shared().control_request = kRequestNone;
    Shared().local_address_text.Set("");
    ClearFailedConnectCache();
  }
  void TearDown() override {
    StopLinkWatch();
    SetLinkCheckTimingsForTesting(LinkCheckTimings());
    SetLocalClockForTesting(nullptr);
    SetLinkAddressSource(nullptr);
    UpdateConfig([](ConfigRecord& r) {
      r.check_url.clear();
      r.check_url_time = r.net_sleep_time = r.net_stop_time = 0;
    });
    Shared().control_request = kRequestNone;
  }
};

TEST_F(LinkCheckTest, StatusLineDecides) {
  struct Case {
    const char* reply;
    bool passes;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", true}, {"HTTP/1.0 302 Found\r\n\r\n", true},
      {"HTTP/2 200\r\n\r\n", false},     {"", false},
      {"SSH-2.0-OpenSSH\r\n", false},    {"HTTP/", false},
  };
  for (const Case& c : cases) {
    TcpOrigin origin(c.reply);
    LogCapture log;
    std::string host = "127.0.0.1:" + std::to_string(origin.port());
    EXPECT_EQ(CheckUrl(host, false), c.passes) << c.reply;
    EXPECT_EQ(origin.last_request(), "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"Contacting with host " + host + " [127.0.0.1]"});
  }
}

TEST_F(LinkCheckTest, FullUrlContactsTheHostPartOnly) {
  TcpOrigin origin("HTTP/1.1 200 OK\r\n\r\n");
  std::string host = "127.0.0.1:" + std::to_string(origin.port());
  LogCapture log;
  EXPECT_TRUE(CheckUrl("http://" + host + "/some/page.html?x=1", false));
  EXPECT_TRUE(log.Has("Contacting with host " + host + " [127.0.0.1]"));
  EXPECT_EQ(origin.served(), 1);
}

TEST_F(LinkCheckTest, ClosedPortFailsUnlessTheControllerIsBusy) {
  std::string host = "127.0.0.1:" + std::to_string(FreeTcpPort());
  LogCapture log;
  EXPECT_FALSE(CheckUrl(host, false));
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"Not found DNS or not found host IP address"});
  Shared().control_request = kRequestStop;
  EXPECT_TRUE(CheckUrl(host, false));  // stopping anyway: not the link's fault
}

TEST_F(LinkCheckTest, AnnouncingCheckStoresAndLogsTheLocalAddress) {
  SetLinkAddressSource([] { return htonl(0x7F000005); });  // 127.0.0.5
  {
    LogCapture log;
    EXPECT_TRUE(CheckUrl("", true));  // no host: only the announcement
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"Connected as " + LocalDescription(htonl(0x7F000005))});
    EXPECT_EQ(Shared().local_address_text.Get(), "127.0.0.5");
  }
  TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\n");
  std::string host = "127.0.0.1:" + std::to_string(origin.port());
  LogCapture log;
  EXPECT_TRUE(CheckUrl(host, true));
  // The address the connection used replaces the one given at first.
  EXPECT_EQ(Shared().local_address_text.Get(), "127.0.0.1");
  std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Connected as " + LocalDescription(htonl(0x7F000001)));
  EXPECT_EQ(lines[1], "Contacting with host " + host + " [127.0.0.1]");
  EXPECT_NE(LocalDescription(htonl(0x7F000001)).find("127.0.0.1"), std::string::npos);
}

TEST_F(LinkCheckTest, CheckUrlTaskAsksForARedialWhenThePageIsGone) {
  SetLinkCheckTimingsForTesting({/*minute_ms=*/30, /*idle_poll_ms=*/10});
  UpdateConfig([](ConfigRecord& r) {
    r.check_url = "127.0.0.1:" + std::to_string(FreeTcpPort());
    r.check_url_time = 1;
  });
  StartLinkWatch();
  EXPECT_EQ(Shared().link_mode.load(), kLinkOnline);
  EXPECT_TRUE(LinkWatchRunning());
  EXPECT_TRUE(WaitUntil([] { return Shared().control_request.load() == kRequestRedial; }, 3000));
  StopLinkWatch();
  EXPECT_EQ(Shared().link_mode.load(), kLinkIdle);
  EXPECT_FALSE(LinkWatchRunning());
}

TEST_F(LinkCheckTest, CheckUrlTaskKeepsAWorkingLink) {
  TcpOrigin origin("HTTP/1.1 200 OK\r\n\r\n");
  SetLinkCheckTimingsForTesting({/*minute_ms=*/20, /*idle_poll_ms=*/10});
  UpdateConfig([&](ConfigRecord& r) {
    r.check_url = "127.0.0.1:" + std::to_string(origin.port());
    r.check_url_time = 1;
  });
  StartLinkWatch();
  EXPECT_TRUE(WaitUntil([&] { return origin.served() >= 3; }, 3000));
  EXPECT_EQ(Shared().control_request.load(), kRequestNone);
}

// A clock the test moves by hand.
class FakeClock {
 public:
  FakeClock() : now_(1700000000) {
    SetLocalClockForTesting([this] { return now_.load(); });
  }
  void Advance(int64_t seconds) { now_ += seconds; }

 private:
  std::atomic<int64_t> now_;
};

TEST_F(LinkCheckTest, IdleLimitSleepsOrStops) {
  for (bool stop : {false, true}) {
    FakeClock clock;
    SetLinkCheckTimingsForTesting({/*minute_ms=*/60000, /*idle_poll_ms=*/5});
    UpdateConfig([&](ConfigRecord& r) {
      r.net_sleep_time = 1;
      r.net_stop_time = stop ? 1 : 0;  // NETSTOPTIME wins over NETSLEEPTIME
    });
    Shared().control_request = kRequestNone;
    StartLinkWatch();
    clock.Advance(59);  // not yet a minute
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Shared().control_request.load(), kRequestNone);
    clock.Advance(1);
    uint8_t expected = stop ? kRequestStop : kRequestSleep;
    EXPECT_TRUE(WaitUntil([&] { return Shared().control_request.load() == expected; }, 3000))
        << "stop=" << stop;
    StopLinkWatch();
  }
}

TEST_F(LinkCheckTest, IdleLimitNeverFiresWhileTheLinkIsInUse) {
  FakeClock clock;
  SetLinkCheckTimingsForTesting({/*minute_ms=*/60000, /*idle_poll_ms=*/5});
  UpdateConfig([](ConfigRecord& r) { r.net_sleep_time = 1; });
  Shared().link_mode = kLinkOnline;
  StartLinkWatch();
  ASSERT_TRUE(AwaitLink(nullptr));
  clock.Advance(3600);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Shared().control_request.load(), kRequestNone);
  ReleaseLink();  // the release counts as a use: a full minute from now
  clock.Advance(30);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Shared().control_request.load(), kRequestNone);
  clock.Advance(30);
  EXPECT_TRUE(WaitUntil([] { return Shared().control_request.load() == kRequestSleep; }, 3000));
}

TEST_F(LinkCheckTest, NoWatchTasksWithoutTheirKeywords) {
  StartLinkWatch();
  EXPECT_FALSE(LinkWatchRunning());
  EXPECT_EQ(Shared().link_mode.load(), kLinkOnline);
}

TEST_F(LinkCheckTest, MacroRunsTheAnnouncingCheckOnItsOwnTask) {
  TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\n");
  std::string host = "127.0.0.1:" + std::to_string(origin.port());
  UpdateConfig([&](ConfigRecord& r) { r.check_url = host; });
  LogCapture log;
  StartCheckUrlTask("");  // the configured CHECKURL
  EXPECT_TRUE(log.WaitFor("Contacting with host " + host + " [127.0.0.1]", 3000));
  EXPECT_TRUE(WaitUntil(
      [&] {
        for (const std::string& l : log.Lines())
          if (l.rfind("Connected as ", 0) == 0) return true;
        return false;
      },
      3000));
}

}  // namespace
}  // namespace netrove::checks
