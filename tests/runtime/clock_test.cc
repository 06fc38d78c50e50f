// The seconds clock and its text forms.
#include "runtime/clock.h"

#include <gtest/gtest.h>

#include <ctime>
#include <tuple>

#include "lib/local_time.h"
#include "testing/fake_env.h"

namespace netrove {
namespace {

using testing_time::NowSecondsAt;

TEST(FormatDuration, HoursMinutesSecondsAndDays) {
  const std::pair<uint32_t, const char*> cases[] = {{0, "00:00:00"},
                                                    {59, "00:00:59"},
                                                    {3600, "01:00:00"},
                                                    {86399, "23:59:59"},
                                                    {86400, "1.00:00:00"},
                                                    {90000, "1.01:00:00"},
                                                    {12 * 86400 + 61, "12.00:01:01"}};
  for (auto& [seconds, want] : cases) EXPECT_EQ(FormatDuration(seconds), want) << seconds;
}

TEST(NextTimeOf, ClockTimesAndMinutes) {
  uint32_t base = NowSecondsAt(2026, 12, 7, 10, 15, 20);
  uint32_t late = NowSecondsAt(2026, 1, 1, 23, 58, 0);
  struct Case {
    uint32_t base;
    const char* text;
    uint32_t want;
  } cases[] = {
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
  for (const Case& c : cases) EXPECT_EQ(NextTimeOf(c.base, c.text), c.want) << c.text;
}

TEST(NowSeconds, CountsFromMonday29December1969LocalTime) {
  const std::pair<int64_t, uint32_t> cases[] = {
      {0, 259200},                   // Thursday 1 January 1970 00:00
      {1796601600, 2971 * 604800u},  // Monday 7 December 2026 00:00 starts a week
      {1796601599, 2971 * 604800u - 1},
      {2200000000, 2200259200u}};  // past 2038 the unsigned count goes on
  for (auto& [local, want] : cases) {
    testing::FakeEnv env(testing::FakeEnv::ClockMode::kAuto, local);
    EXPECT_EQ(NowSeconds(env), want) << local;
  }
}

TEST(CalendarOf, PlainCountFromJanuary1970WithoutTheShift) {
  auto fields = [](const Calendar& c) {
    return std::make_tuple(c.year, c.month, c.day, c.hour, c.minute, c.second);
  };
  EXPECT_EQ(fields(CalendarOf(0)), std::make_tuple(1970, 1, 1, 0, 0, 0));
  EXPECT_EQ(fields(CalendarOf(NowSecondsAt(2024, 2, 29, 13, 14, 15) - kSecondsShift)),
            std::make_tuple(2024, 2, 29, 13, 14, 15));
  // The shifted count reads three days ahead.
  EXPECT_EQ(fields(CalendarOf(NowSecondsAt(2026, 12, 29, 0, 0, 0))),
            std::make_tuple(2027, 1, 1, 0, 0, 0));
}

}  // namespace
}  // namespace netrove
