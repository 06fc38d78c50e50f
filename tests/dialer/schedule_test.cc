// Phone schedules: window syntax, boundaries, weekdays.
#include "dialer/schedule.h"

#include <gtest/gtest.h>

namespace netrove {
namespace {

LocalDateTime At(int weekday, int hour, int minute) {
  LocalDateTime t{2026, 3, 1, hour, minute, 0, weekday};
  return t;
}

TEST(ScheduleTest, WindowBoundariesAndMidnight) {
  EXPECT_TRUE(WindowMatches("22:00-0:00", At(1, 23, 30)));
  EXPECT_FALSE(WindowMatches("22:00-23:00", At(1, 23, 30)));
  EXPECT_TRUE(WindowMatches("10:00-18:00", At(3, 10, 0)));
  EXPECT_TRUE(WindowMatches("10:00-18:00", At(3, 18, 0)));
  EXPECT_FALSE(WindowMatches("10:00-18:00", At(3, 18, 1)));
  EXPECT_FALSE(WindowMatches("10:00-18:00", At(3, 9, 59)));
  // No wrap past midnight; two windows do what is meant.
  EXPECT_FALSE(WindowMatches("22:00-2:00", At(1, 23, 0)));
  EXPECT_FALSE(WindowMatches("22:00-2:00", At(1, 1, 0)));
  EXPECT_TRUE(ScheduleMatches("22:00-0:00,0:00-2:00", At(1, 1, 0)));
  EXPECT_TRUE(ScheduleMatches("22:00-0:00,0:00-2:00", At(1, 23, 0)));
  EXPECT_FALSE(ScheduleMatches("22:00-0:00,0:00-2:00", At(1, 2, 1)));
}

TEST(ScheduleTest, Weekdays) {
  EXPECT_TRUE(WindowMatches("0.2:00-10:00", At(0, 5, 0)));
  EXPECT_FALSE(WindowMatches("0.2:00-10:00", At(1, 5, 0)));
  EXPECT_TRUE(WindowMatches("06.0:00-0:00", At(6, 12, 0)));
  EXPECT_FALSE(WindowMatches("06.0:00-0:00", At(5, 12, 0)));
  const char* both = "0.2:00-10:00,5.10:00-18:00";
  EXPECT_TRUE(ScheduleMatches(both, At(5, 17, 0)));
  EXPECT_FALSE(ScheduleMatches(both, At(5, 9, 0)));
  EXPECT_TRUE(ScheduleMatches(both, At(0, 9, 0)));
  // Spaces are ignored.
  EXPECT_TRUE(WindowMatches(" 5 . 10 : 00 - 18 : 00 ", At(5, 12, 0)));
}

TEST(ScheduleTest, MalformedWindowsNeverMatch) {
  for (const char* w : {"10:00-18", "10-18:00", "10:00 18:00", "", "-", "a:00-18:00",
                        "10:00-0.18:00", "10:0x-18:00", "99999:00-1:00", "10:00-18:00:00"})
    EXPECT_FALSE(WindowMatches(w, At(2, 12, 0))) << w;
  EXPECT_FALSE(ScheduleMatches("", At(2, 12, 0)));
}

TEST(ScheduleTest, NumbersWithSchedules) {
  ScheduledNumber n = ApplySchedule("2:00-10:00|00-00-00", At(1, 12, 0));
  EXPECT_EQ(n.number, "00-00-00");
  EXPECT_FALSE(n.allowed);
  n = ApplySchedule("2:00-10:00|00-00-00", At(1, 3, 0));
  EXPECT_TRUE(n.allowed);
  n = ApplySchedule("000w111-11-11", At(1, 3, 0));
  EXPECT_EQ(n.number, "000w111-11-11");
  EXPECT_TRUE(n.allowed);
  EXPECT_EQ(NumberList({}), std::vector<std::string>{""});
  EXPECT_EQ(NumberList({"", "1"}), (std::vector<std::string>{"", "1"}));
  EXPECT_EQ(NumberList({"1"}), (std::vector<std::string>{"", "1"}));
}

}  // namespace
}  // namespace netrove
