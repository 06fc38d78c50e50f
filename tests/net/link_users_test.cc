// The dial-on-demand gate against the shared state, with a fake session
// controller thread. Dialing for a listed client, not dialing for others
// and the redial from a wait are shown end to end in tests/cases/demand.
#include "net/link_users.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "net_test_util.h"
#include "runtime/shared_state.h"

namespace netrove {
namespace {

using testing::MsSince;
using testing::SteadyClock;

class LinkUsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Shared().link_mode = kLinkIdle;
    Shared().control_request = kRequestNone;
  }
  void TearDown() override {
    stop_ = true;
    if (controller_.joinable()) controller_.join();
    Shared().link_mode = kLinkIdle;
    Shared().control_request = kRequestNone;
    EXPECT_EQ(LinkUsers(), base_users_);  // nothing drifted
  }

  testing::TimingsFor timings_{[](NetTimings& t) {
    t.await_request_step_ms = 10;
    t.await_poll_ms = 20;
    t.await_polls = 50;  // one second in all
  }};
  testing::ScratchDir scratch_;
  uint32_t base_users_ = LinkUsers();
  std::thread controller_;
  std::atomic<bool> stop_{false};
};

TEST_F(LinkUsersTest, OnlinePassesAtOnceAndEveryUseIsReleasedOnce) {
  Shared().link_mode = kLinkOnline;
  {
    LinkUse use(nullptr), second(nullptr);
    EXPECT_TRUE(use.held() && second.held());
    EXPECT_EQ(LinkUsers(), base_users_ + 2);
  }
  EXPECT_EQ(LinkUsers(), base_users_);
  EXPECT_EQ(Shared().control_request.load(), kRequestNone);
  // Extra releases never take the count below zero.
  ReleaseLink();
  ReleaseLink();
  EXPECT_EQ(LinkUsers(), 0u);
  base_users_ = 0;
}

// A sleep countdown that starts just after the gate asked clears the
// request without dialing; the gate asks again instead of waiting out its
// limit.
TEST_F(LinkUsersTest, RequestSwallowedByANewSleepCountdownIsMadeAgain) {
  std::atomic<int> requests{0};
  controller_ = std::thread([this, &requests] {
    while (!stop_) {
      if (Shared().control_request.load() == kRequestSleep) {
        Shared().control_request = kRequestNone;
        if (++requests == 2) Shared().link_mode = kLinkOnline;
      }
      std::this_thread::sleep_for(testing::Ms(1));
    }
  });
  auto start = SteadyClock::now();
  EXPECT_TRUE(AwaitLink(nullptr));  // no client (a datagram): may always dial
  ReleaseLink();
  EXPECT_LT(MsSince(start), 500) << "the gate waited out its limit instead of asking again";
  stop_ = true;
  controller_.join();
  EXPECT_EQ(requests.load(), 2);
}

TEST_F(LinkUsersTest, ClientGoneEndsTheWaitWithNothingOwed) {
  std::ofstream("dialfor.ip") << "127.0.0.*\n";
  auto [ours, peer] = testing::LoopbackPair();
  Shared().link_mode = kLinkDialing;  // dialing: nothing is requested, only polled
  std::thread leaver([&] {
    std::this_thread::sleep_for(testing::Ms(100));
    CloseSocketVar(peer);
  });
  auto start = SteadyClock::now();
  EXPECT_FALSE(AwaitLink(&ours));
  EXPECT_LT(MsSince(start), 900);
  EXPECT_EQ(Shared().control_request.load(), kRequestNone);
  leaver.join();
}

TEST_F(LinkUsersTest, TheWaitIsBoundedWhenNobodyAnswers) {
  auto start = SteadyClock::now();  // no controller: the request is never taken
  EXPECT_TRUE(AwaitLink(nullptr));
  EXPECT_GE(MsSince(start), 900);
  EXPECT_LT(MsSince(start), 3000);
  EXPECT_EQ(Shared().control_request.load(), kRequestSleep);
  ReleaseLink();
}

}  // namespace
}  // namespace netrove
