// The dial-on-demand gate against the shared state, with a fake session
// controller thread. Dialing for a listed client, not dialing for others
// and the redial from a wait are shown end to end in tests/cases/demand.
#include "net/link_users.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "lib/net_context.h"

namespace netrove {
namespace {

using testing::MsSince;
using testing::SteadyClock;

class LinkUsersTest : public ::testing::Test {
 protected:
  ~LinkUsersTest() override {
    stop_ = true;
    if (controller_.joinable()) controller_.join();
    EXPECT_EQ(users_.Users(), base_users_);  // nothing drifted
  }

  testing::NetTestContext ctx_{[](NetOptions& o) {
    o.timings.await_request_step_ms = 10;
    o.timings.await_poll_ms = 20;
    o.timings.await_polls = 50;  // one second in all
  }};
  SharedState& shared_ = ctx_.shared;
  LinkUsers& users_ = ctx_.net.link_users();
  uint32_t base_users_ = 0;
  std::thread controller_;
  std::atomic<bool> stop_{false};
};

TEST_F(LinkUsersTest, OnlinePassesAtOnceAndEveryUseIsReleasedOnce) {
  shared_.link_mode = kLinkOnline;
  {
    LinkUse use(users_, nullptr), second(users_, nullptr);
    EXPECT_TRUE(use.held() && second.held());
    EXPECT_EQ(users_.Users(), base_users_ + 2);
  }
  EXPECT_EQ(users_.Users(), base_users_);
  EXPECT_EQ(shared_.control_request.load(), kRequestNone);
  // Extra releases never take the count below zero.
  users_.Release();
  users_.Release();
  EXPECT_EQ(users_.Users(), 0u);
}

// A sleep countdown that starts just after the gate asked clears the
// request without dialing; the gate asks again instead of waiting out its
// limit.
TEST_F(LinkUsersTest, RequestSwallowedByANewSleepCountdownIsMadeAgain) {
  std::atomic<int> requests{0};
  controller_ = std::thread([this, &requests] {
    while (!stop_) {
      if (shared_.control_request.load() == kRequestSleep) {
        shared_.control_request = kRequestNone;
        if (++requests == 2) shared_.link_mode = kLinkOnline;
      }
      std::this_thread::sleep_for(testing::Ms(1));
    }
  });
  auto start = SteadyClock::now();
  EXPECT_TRUE(users_.Await(nullptr));  // no client (a datagram): may always dial
  users_.Release();
  EXPECT_LT(MsSince(start), 500) << "the gate waited out its limit instead of asking again";
  stop_ = true;
  controller_.join();
  EXPECT_EQ(requests.load(), 2);
}

TEST_F(LinkUsersTest, ClientGoneEndsTheWaitWithNothingOwed) {
  std::ofstream("dialfor.ip") << "127.0.0.*\n";
  auto [ours, peer] = ctx_.LoopbackPair();
  shared_.link_mode = kLinkDialing;  // dialing: nothing is requested, only polled
  SocketVar* leaving = &peer;
  std::thread leaver([leaving] {
    std::this_thread::sleep_for(testing::Ms(100));
    CloseSocketVar(*leaving);
  });
  auto start = SteadyClock::now();
  EXPECT_FALSE(users_.Await(&ours));
  EXPECT_LT(MsSince(start), 900);
  EXPECT_EQ(shared_.control_request.load(), kRequestNone);
  leaver.join();
}

TEST_F(LinkUsersTest, TheWaitIsBoundedWhenNobodyAnswers) {
  auto start = SteadyClock::now();  // no controller: the request is never taken
  EXPECT_TRUE(users_.Await(nullptr));
  EXPECT_GE(MsSince(start), 900);
  EXPECT_LT(MsSince(start), 3000);
  EXPECT_EQ(shared_.control_request.load(), kRequestSleep);
  users_.Release();
}

}  // namespace
}  // namespace netrove
