// The URL check against loopback origins, and the two watch tasks with
// shortened periods and an injected clock.
#include "accounting/link_check.h"

#include <gtest/gtest.h>

#include <atomic>

#include "gates_test_util.h"
#include "net/connect.h"
#include "net/link_users.h"
#include "runtime/local_clock.h"

namespace netrove::checks {
namespace {

using netrove::testing::FreePort;
using netrove::testing::LogCapture;
using netrove::testing::TcpOrigin;
using netrove::testing::WaitUntil;

class LinkCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Shared().control_request = kRequestNone;
    Shared().local_address_text.Set("");
    ClearFailedConnectCache();
    SetLocalClockForTesting([this] { return now_.load(); });
  }
  void TearDown() override {
    StopLinkWatch();
    SetLinkCheckTimingsForTesting(LinkCheckTimings());
    SetLocalClockForTesting(nullptr);
    UpdateConfig([](ConfigRecord& r) {
      r.check_url.clear();
      r.check_url_time = r.net_sleep_time = r.net_stop_time = 0;
    });
    Shared().control_request = kRequestNone;
  }
  // Starts the watch with a minute of `minute_ms` and the configuration
  // changed by `edit`.
  void Watch(int minute_ms, const std::function<void(ConfigRecord&)>& edit) {
    SetLinkCheckTimingsForTesting({minute_ms, /*idle_poll_ms=*/5});
    UpdateConfig(edit);
    StartLinkWatch();
  }
  bool Requested(uint8_t request) {
    return WaitUntil([&] { return Shared().control_request.load() == request; }, 3000);
  }
  std::atomic<int64_t> now_{1700000000};
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
    for (bool full_url : {false, true}) {  // a full URL contacts its host part only
      TcpOrigin origin(c.reply);
      LogCapture log;
      std::string url =
          full_url ? "http://" + origin.host() + "/some/page.html?x=1" : origin.host();
      EXPECT_EQ(CheckUrl(url, false), c.passes) << url << " answering " << c.reply;
      EXPECT_EQ(origin.last_request(), "GET / HTTP/1.0\r\n\r\n");
      EXPECT_EQ(log.Lines(),
                std::vector<std::string>{"Contacting with host " + origin.host() + " [127.0.0.1]"});
    }
  }
}

TEST_F(LinkCheckTest, ClosedPortFailsUnlessTheControllerIsStopping) {
  std::string host = "127.0.0.1:" + std::to_string(FreePort());
  LogCapture log;
  EXPECT_FALSE(CheckUrl(host, false));
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"Not found DNS or not found host IP address"});
  Shared().control_request = kRequestStop;
  EXPECT_TRUE(CheckUrl(host, false));  // stopping anyway: not the link's fault
}

// "Connected as" + the address the check's connection used, which is
// also stored as the session's local address.
TEST_F(LinkCheckTest, AnnouncingCheckStoresAndLogsTheLocalAddress) {
  TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\n");
  LogCapture log;
  EXPECT_TRUE(CheckUrl(origin.host(), true));
  EXPECT_EQ(Shared().local_address_text.Get(), "127.0.0.1");
  EXPECT_NE(LocalDescription(htonl(0x7F000001)).find("127.0.0.1"), std::string::npos);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"Connected as " + LocalDescription(htonl(0x7F000001)),
                                      "Contacting with host " + origin.host() + " [127.0.0.1]"}));
}

TEST_F(LinkCheckTest, CheckUrlTaskAsksForARedialOnlyWhenThePageIsGone) {
  TcpOrigin origin("HTTP/1.1 200 OK\r\n\r\n");
  Watch(20, [&](ConfigRecord& r) {
    r.check_url = origin.host();
    r.check_url_time = 1;
  });
  EXPECT_TRUE(WaitUntil([&] { return origin.served() >= 3; }, 3000));
  EXPECT_EQ(Shared().control_request.load(), kRequestNone);
  StopLinkWatch();
  EXPECT_EQ(Shared().link_mode.load(), kLinkIdle);
  EXPECT_FALSE(LinkWatchRunning());

  Watch(20, [](ConfigRecord& r) { r.check_url = "127.0.0.1:" + std::to_string(FreePort()); });
  EXPECT_EQ(Shared().link_mode.load(), kLinkOnline);
  EXPECT_TRUE(LinkWatchRunning());
  EXPECT_TRUE(Requested(kRequestRedial));
}

TEST_F(LinkCheckTest, IdleLimitSleepsOrStops) {
  for (bool stop : {false, true}) {
    Shared().control_request = kRequestNone;
    Watch(60000, [&](ConfigRecord& r) {
      r.net_sleep_time = 1;
      r.net_stop_time = stop ? 1 : 0;  // NETSTOPTIME wins over NETSLEEPTIME
    });
    now_ += 59;  // not yet a minute
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Shared().control_request.load(), kRequestNone);
    now_ += 1;
    EXPECT_TRUE(Requested(stop ? kRequestStop : kRequestSleep)) << "stop=" << stop;
    StopLinkWatch();
  }
}

TEST_F(LinkCheckTest, IdleLimitNeverFiresWhileTheLinkIsInUse) {
  Shared().link_mode = kLinkOnline;
  Watch(60000, [](ConfigRecord& r) { r.net_sleep_time = 1; });
  ASSERT_TRUE(AwaitLink(nullptr));
  now_ += 3600;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Shared().control_request.load(), kRequestNone);
  ReleaseLink();  // the release counts as a use: a full minute from now
  now_ += 30;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Shared().control_request.load(), kRequestNone);
  now_ += 30;
  EXPECT_TRUE(Requested(kRequestSleep));
}

TEST_F(LinkCheckTest, NoWatchTasksWithoutTheirKeywords) {
  StartLinkWatch();
  EXPECT_FALSE(LinkWatchRunning());
  EXPECT_EQ(Shared().link_mode.load(), kLinkOnline);
}

TEST_F(LinkCheckTest, MacroRunsTheAnnouncingCheckOnItsOwnTask) {
  TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\n");
  UpdateConfig([&](ConfigRecord& r) { r.check_url = origin.host(); });
  LogCapture log;
  StartCheckUrlTask("");  // the configured CHECKURL
  EXPECT_TRUE(log.WaitFor("Contacting with host " + origin.host() + " [127.0.0.1]"));
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
