// Test helper: the program's seconds clock for a local date and time.
#pragma once

#include <cstdint>
#include <ctime>

#include "runtime/clock.h"

namespace netrove::testing_time {

// NowSeconds() as it reads at that local date and time.
inline uint32_t NowSecondsAt(int year, int month, int day, int hour, int minute, int second = 0) {
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return static_cast<uint32_t>(timegm(&tm) + kSecondsShift);
}

}  // namespace netrove::testing_time
