// The dial-on-demand gate against the shared state, with a fake session
// controller thread.
#include "net/link_users.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "net/net_settings.h"
#include "net_test_util.h"
#include "runtime/shared_state.h"

namespace netrove {
namespace {

using Ms = std::chrono::milliseconds;

class LinkUsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NetTimings t;
    t.await_request_step_ms = 10;
    t.await_poll_ms = 20;
    t.await_polls = 50;  // one second in all
    SetNetTimingsForTesting(t);
    Shared().link_mode = kLinkIdle;
    Shared().control_request = kRequestNone;
    base_users_ = LinkUsers();
  }
  void TearDown() override {
    StopController();
    Shared().link_mode = kLinkIdle;
    Shared().control_request = kRequestNone;
    SetNetTimingsForTesting(NetTimings());
    EXPECT_EQ(LinkUsers(), base_users_);  // nothing drifted
  }

  // Takes each request, reports dialing, and after `dial_ms` on-line.
  void StartController(int dial_ms) {
    controller_ = std::thread([this, dial_ms] {
      while (!stop_) {
        uint8_t r = Shared().control_request.load();
        if (r == kRequestSleep || r == kRequestRedial) {
          seen_request_ = r;
          Shared().control_request = kRequestNone;
          Shared().link_mode = kLinkDialing;
          std::this_thread::sleep_for(Ms(dial_ms));
          Shared().link_mode = kLinkOnline;
        }
        std::this_thread::sleep_for(Ms(2));
      }
    });
  }
  void StopController() {
    stop_ = true;
    if (controller_.joinable()) controller_.join();
  }

  testing::ScratchDir scratch_;
  uint32_t base_users_ = 0;
  std::thread controller_;
  std::atomic<bool> stop_{false};
  std::atomic<uint8_t> seen_request_{0};
};

TEST_F(LinkUsersTest, OnlinePassesAtOnceAndReleasePairs) {
  Shared().link_mode = kLinkOnline;
  {
    LinkUse use(nullptr);
    EXPECT_TRUE(use.held());
    EXPECT_EQ(LinkUsers(), base_users_ + 1);
    LinkUse second(nullptr);
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

TEST_F(LinkUsersTest, IdleClientNotInDialForGoesOnWithoutDialing) {
  auto [ours, peer] = testing::LoopbackPair();
  auto start = std::chrono::steady_clock::now();
  {
    LinkUse use(&ours);
    EXPECT_TRUE(use.held());  // the client is still there
    EXPECT_EQ(LinkUsers(), base_users_ + 1);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, Ms(200));
  EXPECT_EQ(Shared().control_request.load(), kRequestNone);
  EXPECT_EQ(Shared().link_mode.load(), kLinkIdle);
}

TEST_F(LinkUsersTest, ListedClientMakesTheControllerDial) {
  std::ofstream("dialfor.ip") << "127.0.0.1\n";
  auto [ours, peer] = testing::LoopbackPair();
  StartController(100);
  auto start = std::chrono::steady_clock::now();
  {
    LinkUse use(&ours);
    EXPECT_TRUE(use.held());
    EXPECT_EQ(Shared().link_mode.load(), kLinkOnline);
    EXPECT_GE(std::chrono::steady_clock::now() - start, Ms(90));
  }
  EXPECT_EQ(seen_request_.load(), kRequestSleep);
}

TEST_F(LinkUsersTest, WaitingBetweenDialsAsksForARedial) {
  Shared().link_mode = kLinkWaiting;
  StartController(20);
  EXPECT_TRUE(AwaitLink(nullptr));  // no client: the UDP mapping's call
  ReleaseLink();
  EXPECT_EQ(seen_request_.load(), kRequestRedial);
}

TEST_F(LinkUsersTest, ClientGoneEndsTheWaitWithNothingOwed) {
  std::ofstream("dialfor.ip") << "127.0.0.*\n";
  auto [ours, peer] = testing::LoopbackPair();
  Shared().link_mode = kLinkDialing;  // dialing: nothing is requested, only polled
  std::thread leaver([&] {
    std::this_thread::sleep_for(Ms(100));
    CloseSocketVar(peer);
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(AwaitLink(&ours));
  EXPECT_LT(std::chrono::steady_clock::now() - start, Ms(900));
  EXPECT_EQ(LinkUsers(), base_users_);
  EXPECT_EQ(Shared().control_request.load(), kRequestNone);
  leaver.join();
}

TEST_F(LinkUsersTest, TheWaitIsBoundedWhenNobodyAnswers) {
  // No controller: the request is never taken.
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(AwaitLink(nullptr));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, Ms(900));
  EXPECT_LT(took, Ms(3000));
  EXPECT_EQ(Shared().control_request.load(), kRequestSleep);
  ReleaseLink();
}

}  // namespace
}  // namespace netrove
