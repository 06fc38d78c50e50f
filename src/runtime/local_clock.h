// The wall clock, as local time. Every reading of the date and time in the
// program goes through here so that tests can move time at will.
#pragma once

#include <cstdint>
#include <functional>

namespace netrove {

// Seconds since 1970-01-01 00:00 *local* time (UTC plus the local offset,
// daylight saving included).
int64_t LocalUnixSeconds();

// Broken-down local date and time of a LocalUnixSeconds value.
struct LocalDateTime {
  int year, month, day;  // month 1-12, day 1-31
  int hour, minute, second;
  int weekday;  // 0 = Sunday ... 6 = Saturday
};
LocalDateTime BreakDownLocal(int64_t local_seconds);

// Replaces the clock (nullptr restores the system clock). For tests.
void SetLocalClockForTesting(std::function<int64_t()> clock);

}  // namespace netrove
