// Phone schedules (windows, boundaries, weekdays) and EXECUTEAT schedules.
#include "dialer/schedule.h"

#include <gtest/gtest.h>

#include "dialer/execute_at.h"
#include "lib/local_time.h"

namespace netrove {
namespace {

// An end hour of 0 is 24, both ends are included, a window never wraps past midnight (two windows
// do), "d." is a weekday (0 Sunday), spaces are ignored. Times are weekday * 10000 + hhmm.
TEST(PhoneScheduleTest, WindowsBoundariesWeekdaysAndNumbers) {
  struct Case {
    const char* schedule;
    std::vector<int> in, out;
  } cases[] = {{"22:00-0:00", {12330}, {}},
               {"22:00-23:00", {}, {12330}},
               {"10:00-18:00", {31000, 31800}, {31801, 30959}},
               {"22:00-2:00", {}, {12300}},
               {"22:00-0:00,0:00-2:00", {10100, 12300}, {10201}},
               {"0.2:00-10:00", {500}, {10500}},
               {"06.0:00-0:00", {61200}, {51200}},
               {"0.2:00-10:00,5.10:00-18:00", {51700, 900}, {}},
               {" 5 . 10 : 00 - 18 : 00 ", {51200}, {}}};
  for (const Case& c : cases)
    for (bool in : {true, false})
      for (int t : in ? c.in : c.out) {
        LocalDateTime at{2026, 3, 1, t / 100 % 100, t % 100, 0, t / 10000};
        EXPECT_EQ(ScheduleMatches(c.schedule, at), in) << c.schedule << " " << t;
      }
  LocalDateTime noon{2026, 3, 1, 12, 0, 0, 2};
  for (const char* w : {"10:00-18", "10-18:00", "10:00 18:00", "", "-", "a:00-18:00",
                        "10:00-0.18:00", "10:0x-18:00", "99999:00-1:00", "10:00-18:00:00"})
    EXPECT_FALSE(WindowMatches(w, noon)) << w;
  // Numbers with a schedule; the list of numbers starts with PHONE's place.
  LocalDateTime three{2026, 3, 1, 3, 0, 0, 1};
  ScheduledNumber n = ApplySchedule("2:00-10:00|00-00-00", noon);
  EXPECT_EQ(n.number, "00-00-00");
  EXPECT_FALSE(n.allowed);
  EXPECT_TRUE(ApplySchedule("2:00-10:00|00-00-00", three).allowed);
  n = ApplySchedule("000w111-11-11", three);
  EXPECT_EQ(n.number, "000w111-11-11");
  EXPECT_TRUE(n.allowed);
  EXPECT_EQ(NumberList({}), std::vector<std::string>{""});
  EXPECT_EQ(NumberList({"1"}), (std::vector<std::string>{"", "1"}));
}

// A time in March 2024, the 5th unless said otherwise.
uint32_t At(int hour, int minute, int second, int day = 5) {
  return testing_time::NowSecondsAt(2024, 3, day, hour, minute, second);
}

TEST(ExecuteAtScheduleTest, DailyTimeRunsOnceADayAndMinutesEveryNMinutesWithoutCatchingUp) {
  EXPECT_EQ(FirstExecuteAt("10:15", At(10, 14, 20)), At(10, 15, 0));
  EXPECT_EQ(FirstExecuteAt("10:15", At(10, 15, 20)), At(10, 15, 0));  // due at once
  EXPECT_EQ(FirstExecuteAt("10:15", At(10, 16, 0)), At(10, 15, 0, 6));
  // Run on time, a little or hours late: the next run falls in the 10:15 minute of the next day.
  for (uint32_t lateness : {0u, 1u, 39u, 3 * 3600u}) {
    uint32_t due = At(10, 15, 0);
    for (int day = 0; day < 5; ++day) {
      uint32_t next = NextExecuteAt("10:15", due, due + lateness);
      EXPECT_EQ(next, due + 86400) << lateness;  // not twice a day, no day skipped
      due = next;
    }
  }
  EXPECT_EQ(FirstExecuteAt("5", At(8, 0, 7)), At(8, 5, 7));
  EXPECT_EQ(FirstExecuteAt("0", At(8, 0, 7)), At(8, 1, 7));
  uint32_t due = At(8, 5, 7);
  EXPECT_EQ(NextExecuteAt("5", due, due), At(8, 10, 7));
  EXPECT_EQ(NextExecuteAt("5", due, due + 2), At(8, 10, 7));  // no drift
  // Woken 17 minutes late: one run now, the next five minutes later.
  EXPECT_EQ(NextExecuteAt("5", due, due + 17 * 60), due + 22 * 60);
  // Never below one second, whatever the inputs.
  for (const char* text : {"0", "1", "junk", "10:15", "99:99"})
    for (uint32_t now : {At(10, 15, 0), At(23, 59, 59)})
      EXPECT_GE(NextExecuteAt(text, now + 120, now), now + 1) << text;
}

}  // namespace
}  // namespace netrove
