// The URL check against loopback origins, and the two watch tasks with
// shortened periods and an injected clock.
#include <gtest/gtest.h>

#include <atomic>

#include "checks/link_checks.h"
#include "lib/net_context.h"

namespace netrove {
namespace {

using testing::FreePort;
using testing::TcpOrigin;
using testing::WaitUntil;

class LinkCheckTest : public ::testing::Test {
 protected:
  LinkCheckTest() { ctx_.real_env.SetLocalSeconds(1700000000); }
  // Starts the watch with the configuration changed by `edit`.
  void Watch(const std::function<void(ConfigRecord&)>& edit) {
    ctx_.config.Update(edit);
    checker_.StartWatch();
  }
  bool Requested(uint8_t request) {
    SharedState& shared = ctx_.shared;
    return WaitUntil([&] { return shared.control_request.load() == request; });
  }

  testing::NetTestContext ctx_;
  SharedState& shared_ = ctx_.shared;
  // A minute of CHECKURLTIME lasts 20 ms; "Check NetTime" looks every 5 ms.
  LinkChecker checker_{ctx_.env,    ctx_.tasks,  ctx_.log, ctx_.console,
                       ctx_.config, ctx_.shared, ctx_.net, LinkCheckTimings{20, 5}};
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
      ctx_.ClearLines();
      std::string url =
          full_url ? "http://" + origin.host() + "/some/page.html?x=1" : origin.host();
      EXPECT_EQ(checker_.CheckUrl(url, false), c.passes) << url << " answering " << c.reply;
      EXPECT_EQ(origin.last_request(), "GET / HTTP/1.0\r\n\r\n");
      EXPECT_EQ(ctx_.Lines(),
                std::vector<std::string>{"Contacting with host " + origin.host() + " [127.0.0.1]"});
    }
  }
}

TEST_F(LinkCheckTest, ClosedPortFailsUnlessTheControllerIsStopping) {
  ctx_.config.Update(
      [](ConfigRecord& r) { r.check_url = "127.0.0.1:" + std::to_string(FreePort()); });
  EXPECT_FALSE(checker_.Test());
  EXPECT_EQ(ctx_.Lines(), std::vector<std::string>{"Not found DNS or not found host IP address"});
  shared_.control_request = kRequestStop;
  EXPECT_TRUE(checker_.Test());  // stopping anyway: not the link's fault
}

// "Connected as" + the address the check's connection used, which is
// also stored as the session's local address.
TEST_F(LinkCheckTest, AnnouncingCheckStoresAndLogsTheLocalAddress) {
  TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\n");
  ctx_.config.Update([&](ConfigRecord& r) { r.check_url = origin.host(); });
  EXPECT_TRUE(checker_.FirstTest());
  EXPECT_EQ(shared_.local_address_text.Get(), "127.0.0.1");
  EXPECT_NE(LocalDescription(htonl(0x7F000001)).find("127.0.0.1"), std::string::npos);
  EXPECT_EQ(ctx_.Lines(),
            (std::vector<std::string>{"Connected as " + LocalDescription(htonl(0x7F000001)),
                                      "Contacting with host " + origin.host() + " [127.0.0.1]"}));
}

TEST_F(LinkCheckTest, CheckUrlTaskAsksForARedialOnlyWhenThePageIsGone) {
  TcpOrigin origin("HTTP/1.1 200 OK\r\n\r\n");
  Watch([&](ConfigRecord& r) {
    r.check_url = origin.host();
    r.check_url_time = 1;
  });
  EXPECT_TRUE(WaitUntil([&] { return origin.served() >= 3; }, 3000));
  EXPECT_EQ(shared_.control_request.load(), kRequestNone);
  checker_.StopWatch();
  EXPECT_EQ(shared_.link_mode.load(), kLinkIdle);
  EXPECT_FALSE(checker_.WatchRunning());

  Watch([](ConfigRecord& r) { r.check_url = "127.0.0.1:" + std::to_string(FreePort()); });
  EXPECT_EQ(shared_.link_mode.load(), kLinkOnline);
  EXPECT_TRUE(checker_.WatchRunning());
  EXPECT_TRUE(Requested(kRequestRedial));
}

TEST_F(LinkCheckTest, IdleLimitSleepsOrStops) {
  for (bool stop : {false, true}) {
    shared_.control_request = kRequestNone;
    Watch([&](ConfigRecord& r) {
      r.net_sleep_time = 1;
      r.net_stop_time = stop ? 1 : 0;  // NETSTOPTIME wins over NETSLEEPTIME
    });
    ctx_.real_env.AdvanceLocal(59);  // not yet a minute
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(shared_.control_request.load(), kRequestNone);
    ctx_.real_env.AdvanceLocal(1);
    EXPECT_TRUE(Requested(stop ? kRequestStop : kRequestSleep)) << "stop=" << stop;
    checker_.StopWatch();
  }
}

TEST_F(LinkCheckTest, IdleLimitNeverFiresWhileTheLinkIsInUse) {
  shared_.link_mode = kLinkOnline;
  Watch([](ConfigRecord& r) { r.net_sleep_time = 1; });
  LinkUsers& users = ctx_.net.link_users();
  ASSERT_TRUE(users.Await(nullptr));
  ctx_.real_env.AdvanceLocal(3600);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(shared_.control_request.load(), kRequestNone);
  users.Release();  // the release counts as a use: a full minute from now
  ctx_.real_env.AdvanceLocal(30);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(shared_.control_request.load(), kRequestNone);
  ctx_.real_env.AdvanceLocal(30);
  EXPECT_TRUE(Requested(kRequestSleep));
}

TEST_F(LinkCheckTest, NoWatchTasksWithoutTheirKeywords) {
  checker_.StartWatch();
  EXPECT_FALSE(checker_.WatchRunning());
  EXPECT_EQ(shared_.link_mode.load(), kLinkOnline);
}

TEST_F(LinkCheckTest, MacroRunsTheAnnouncingCheckOnItsOwnTask) {
  TcpOrigin origin("HTTP/1.0 200 OK\r\n\r\n");
  ctx_.config.Update([&](ConfigRecord& r) { r.check_url = origin.host(); });
  checker_.StartMacroCheck("");  // the configured CHECKURL
  EXPECT_TRUE(ctx_.WaitForLine("Contacting with host " + origin.host() + " [127.0.0.1]"));
  EXPECT_TRUE(ctx_.Has("Connected as " + LocalDescription(htonl(0x7F000001))));
}

}  // namespace
}  // namespace netrove
