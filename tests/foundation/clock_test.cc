// The seconds clock and its text forms.
#include "accounting/clock.h"

#include <gtest/gtest.h>

#include "runtime/local_clock.h"

namespace netrove {
namespace {

// NowSeconds for a local date and time (years 1970-2099).
uint32_t At(int year, int month, int day, int hour, int minute, int second) {
  static const int kBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  int64_t days = 0;
  for (int y = 1970; y < year; ++y) days += (y % 4 == 0) ? 366 : 365;
  days += kBefore[month - 1] + (month > 2 && year % 4 == 0 ? 1 : 0) + day - 1;
  return static_cast<uint32_t>(days * 86400 + hour * 3600 + minute * 60 + second + kSecondsShift);
}

TEST(FormatDuration, HoursMinutesSecondsAndDays) {
  struct Case {
    uint32_t seconds;
    const char* want;
  } cases[] = {
      {0, "00:00:00"},
      {59, "00:00:59"},
      {3600, "01:00:00"},
      {86399, "23:59:59"},
      {86400, "1.00:00:00"},
      {90000, "1.01:00:00"},
      {12 * 86400 + 61, "12.00:01:01"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatDuration(c.seconds), c.want) << c.seconds;
}

TEST(NextTimeOf, ClockTimeIsTheNextOccurrenceKeepingSeconds) {
  uint32_t base = At(2026, 12, 7, 10, 15, 20);
  EXPECT_EQ(NextTimeOf(base, "10:15"), base) << "inside the matching minute the base itself";
  EXPECT_EQ(NextTimeOf(base, "10:14"), base + 23 * 3600 + 59 * 60) << "passed today: tomorrow";
  EXPECT_EQ(NextTimeOf(base, "10:16"), base + 60);
  EXPECT_EQ(NextTimeOf(base, "0:00"), At(2026, 12, 8, 0, 0, 20));
  // Out-of-range parts count as 0.
  EXPECT_EQ(NextTimeOf(base, "24:30"), At(2026, 12, 8, 0, 30, 20));
  EXPECT_EQ(NextTimeOf(base, "11:60"), At(2026, 12, 7, 11, 0, 20));
  EXPECT_EQ(NextTimeOf(base, "x:y"), At(2026, 12, 8, 0, 0, 20));
}

TEST(NextTimeOf, MinutesFromBase) {
  uint32_t base = At(2026, 1, 1, 23, 58, 0);
  EXPECT_EQ(NextTimeOf(base, "5"), base + 300);
  EXPECT_EQ(NextTimeOf(base, "0"), base + 60) << "0 counts as 1";
  EXPECT_EQ(NextTimeOf(base, "junk"), base + 60) << "unreadable is 0, which counts as 1";
  EXPECT_EQ(NextTimeOf(base, "1440"), base + 86400);
}

TEST(NowSeconds, CountsFromMonday29December1969LocalTime) {
  SetLocalClockForTesting([] { return int64_t{0}; });  // 1 Jan 1970 00:00 local
  EXPECT_EQ(NowSeconds(), 259200u);
  EXPECT_EQ(NowSeconds() / 604800, 0u) << "Thursday 1 Jan 1970 lies in week 0";
  // Monday 7 December 2026 00:00 starts a new week; Sunday 23:59:59 is the old one.
  SetLocalClockForTesting([] { return int64_t{1796601600}; });  // 2026-12-07 00:00
  uint32_t monday = NowSeconds();
  EXPECT_EQ(monday % 604800, 0u);
  SetLocalClockForTesting([] { return int64_t{1796601599}; });
  EXPECT_EQ(NowSeconds() / 604800 + 1, monday / 604800);
  // Past 2038 the unsigned count keeps going.
  SetLocalClockForTesting([] { return int64_t{2200000000}; });
  EXPECT_EQ(NowSeconds(), 2200259200u);
  SetLocalClockForTesting(nullptr);
}

TEST(CalendarOf, PlainCountFromJanuary1970WithoutTheShift) {
  Calendar c = CalendarOf(0);
  EXPECT_EQ(c.year, 1970);
  EXPECT_EQ(c.month, 1);
  EXPECT_EQ(c.day, 1);
  c = CalendarOf(At(2024, 2, 29, 13, 14, 15) - kSecondsShift);
  EXPECT_EQ(c.year, 2024);
  EXPECT_EQ(c.month, 2);
  EXPECT_EQ(c.day, 29);
  EXPECT_EQ(c.hour, 13);
  EXPECT_EQ(c.minute, 14);
  EXPECT_EQ(c.second, 15);
  // The shifted count reads three days ahead.
  c = CalendarOf(At(2026, 12, 29, 0, 0, 0));
  EXPECT_EQ(c.month, 1);
  EXPECT_EQ(c.day, 1);
  EXPECT_EQ(c.year, 2027);
}

TEST(ReadNumber, WholeDecimalNumbersOnly) {
  EXPECT_EQ(ReadNumber("60"), 60);
  EXPECT_EQ(ReadNumber("  -5 "), -5);
  EXPECT_EQ(ReadNumber("60 ; comment"), 0);
  EXPECT_EQ(ReadNumber("0x10"), 0);
  EXPECT_EQ(ReadNumber(""), 0);
  EXPECT_EQ(ReadNumber("-"), 0);
  EXPECT_EQ(ReadNumber("99999999999999999999999"), 0);
}

}  // namespace
}  // namespace netrove
