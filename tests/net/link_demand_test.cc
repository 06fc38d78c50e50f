// Dial on demand when the session controller drops a request: a sleep
// countdown that starts just after the gate asked clears the request
// without dialing; the gate must ask again rather than wait out its limit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "net/link_users.h"
#include "net/net_settings.h"
#include "runtime/shared_state.h"

namespace netrove {
namespace {

TEST(LinkDemand, RequestLostToANewSleepCountdownIsMadeAgain) {
  NetTimings t;
  t.await_request_step_ms = 5;
  t.await_poll_ms = 20;
  t.await_polls = 250;  // five seconds in all
  SetNetTimingsForTesting(t);
  SharedState& shared = Shared();
  shared.link_mode = kLinkIdle;
  shared.control_request = kRequestNone;

  std::atomic<int> requests{0};
  std::atomic<bool> stop{false};
  std::thread controller([&] {
    while (!stop) {
      if (shared.control_request.load() == kRequestSleep) {
        // The first request is swallowed by a fresh countdown; the second dials.
        shared.control_request = kRequestNone;
        if (++requests == 2) shared.link_mode = kLinkOnline;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });

  auto start = std::chrono::steady_clock::now();
  bool ok = AwaitLink(nullptr);  // a datagram client: always allowed to dial
  auto waited = std::chrono::steady_clock::now() - start;
  stop = true;
  controller.join();
  EXPECT_TRUE(ok);
  ReleaseLink();
  EXPECT_EQ(requests.load(), 2);
  EXPECT_EQ(shared.link_mode.load(), kLinkOnline);
  EXPECT_LT(waited, std::chrono::seconds(2))
      << "the gate waited out its limit instead of asking again";

  shared.link_mode = kLinkIdle;
  SetNetTimingsForTesting(NetTimings());
}

}  // namespace
}  // namespace netrove
