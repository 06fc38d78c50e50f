// The seconds clock and its text forms, and the rate limit of repeated
// reports (a burst per second, the rest counted and summed up once a
// minute).
#include "runtime/clock.h"

#include <gtest/gtest.h>

#include "lib/local_time.h"
#include "runtime/rate_limit.h"
#include "testing/fake_env.h"

namespace netrove {
namespace {

using testing_time::NowSecondsAt;

TEST(Clock, FormatDurationAndNowSecondsFromMonday29December1969) {
  const std::pair<uint32_t, const char*> durations[] = {
      {0, "00:00:00"},     {59, "00:00:59"},      {3600, "01:00:00"},
      {86399, "23:59:59"}, {86400, "1.00:00:00"}, {12 * 86400 + 61, "12.00:01:01"}};
  for (auto& [seconds, want] : durations) EXPECT_EQ(FormatDuration(seconds), want) << seconds;
  const std::pair<int64_t, uint32_t> now[] = {
      {0, 259200},                   // Thursday 1 January 1970 00:00
      {1796601600, 2971 * 604800u},  // Monday 7 December 2026 00:00 starts a week
      {1796601599, 2971 * 604800u - 1},
      {2200000000, 2200259200u}};  // past 2038 the unsigned count goes on
  for (auto& [local, want] : now) {
    testing::FakeEnv env(testing::FakeEnv::ClockMode::kAuto, local);
    EXPECT_EQ(NowSeconds(env), want) << local;
  }
  // CalendarOf reads a plain count from January 1970, without the shift.
  auto fields = [](uint32_t s) {
    Calendar c = CalendarOf(s);
    return std::vector<int>{c.year, c.month, c.day, c.hour, c.minute, c.second};
  };
  EXPECT_EQ(fields(0), (std::vector<int>{1970, 1, 1, 0, 0, 0}));
  EXPECT_EQ(fields(NowSecondsAt(2024, 2, 29, 13, 14, 15) - kSecondsShift),
            (std::vector<int>{2024, 2, 29, 13, 14, 15}));
}

TEST(Clock, NextTimeOfClockTimesAndMinutes) {
  uint32_t base = NowSecondsAt(2026, 12, 7, 10, 15, 20), late = NowSecondsAt(2026, 1, 1, 23, 58);
  const std::tuple<uint32_t, const char*, uint32_t> cases[] = {
      {base, "10:15", base},  // inside the matching minute: the base itself
      {base, "10:14", NowSecondsAt(2026, 12, 8, 10, 14, 20)},  // passed today: tomorrow
      {base, "10:16", base + 60},
      {base, "0:00", NowSecondsAt(2026, 12, 8, 0, 0, 20)},
      {base, "24:30", NowSecondsAt(2026, 12, 8, 0, 30, 20)},  // out-of-range parts count as 0
      {base, "11:60", NowSecondsAt(2026, 12, 7, 11, 0, 20)},
      {base, "x:y", NowSecondsAt(2026, 12, 8, 0, 0, 20)},
      {late, "5", late + 300},  // minutes from the base, across midnight
      {late, "0", late + 60},   // 0 counts as 1
      {late, "junk", late + 60},
      {late, "1440", late + 86400},
  };
  for (auto& [from, text, want] : cases) EXPECT_EQ(NextTimeOf(from, text), want) << text;
}

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
  for (int i = 0; i < 5; ++i) limiter.Admit("a", 62000);
  due = limiter.TakeSummaries(62001, /*all=*/true);  // at a stop: what is pending
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].count, 2u);
  // A flood from many addresses at once shares one key beyond the bound.
  for (size_t k = 0; k < RateLimiter::kMaxKeys + 100; ++k)
    for (int i = 0; i <= RateLimiter::kBurst; ++i) limiter.Admit("k" + std::to_string(k), 70000);
  due = limiter.TakeSummaries(70000, true);
  EXPECT_LE(due.size(), RateLimiter::kMaxKeys);
  auto other = std::find_if(due.begin(), due.end(),
                            [](const auto& s) { return s.key == RateLimiter::kOtherKey; });
  ASSERT_NE(other, due.end());
  EXPECT_GT(other->count, 0u);
}

}  // namespace
}  // namespace netrove
