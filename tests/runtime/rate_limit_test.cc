// The rate limit of repeated reports: a burst per second, the rest counted
// and summed up once a minute.
#include "runtime/rate_limit.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace netrove {
namespace {

TEST(RateLimiter, FloodOfOneKeyWritesABurstASecondAndASummaryAMinute) {
  RateLimiter limiter;
  int written = 0;
  for (int i = 0; i < 1000; ++i) written += limiter.Admit("10.0.0.9", i);  // one second
  EXPECT_EQ(written, RateLimiter::kBurst);
  EXPECT_TRUE(limiter.Admit("10.0.0.8", 999));        // other keys are not held back
  EXPECT_TRUE(limiter.TakeSummaries(30000).empty());  // not yet a minute
  std::vector<RateLimiter::Summary> due = limiter.TakeSummaries(61000);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(RateLimiter::SummaryText(due[0]), "\xe2\x80\xa6 997 further attempts from 10.0.0.9");
  EXPECT_TRUE(limiter.TakeSummaries(62000).empty());  // reported counts start again
  EXPECT_TRUE(limiter.Admit("10.0.0.9", 62000));      // a new second, a new burst
}

TEST(RateLimiter, StopReportsWhatIsPendingAndKeysAreBounded) {
  RateLimiter limiter;
  for (int i = 0; i < 5; ++i) limiter.Admit("a", 0);
  std::vector<RateLimiter::Summary> all = limiter.TakeSummaries(1, /*all=*/true);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].count, 2u);
  // A flood from many addresses at once shares one key beyond the bound.
  for (size_t k = 0; k < RateLimiter::kMaxKeys + 100; ++k)
    for (int i = 0; i <= RateLimiter::kBurst; ++i) limiter.Admit("k" + std::to_string(k), 10);
  std::vector<RateLimiter::Summary> due = limiter.TakeSummaries(10, true);
  EXPECT_LE(due.size(), RateLimiter::kMaxKeys);
  auto other = std::find_if(due.begin(), due.end(),
                            [](const auto& s) { return s.key == RateLimiter::kOtherKey; });
  ASSERT_NE(other, due.end());
  EXPECT_GT(other->count, 0u);
}

}  // namespace
}  // namespace netrove
