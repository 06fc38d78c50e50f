// Test helper: the program's seconds clock for a local date and time.
#pragma once

#include <chrono>
#include <cstdint>

#include "runtime/clock.h"

namespace netrove::testing_time {

// NowSeconds() as it reads at that local date and time.
inline uint32_t NowSecondsAt(int year, int month, int day, int hour, int minute, int second = 0) {
  std::chrono::sys_days date{std::chrono::year(year) / month / day};
  return static_cast<uint32_t>(date.time_since_epoch().count() * 86400 + hour * 3600 + minute * 60 +
                               second + kSecondsShift);
}

}  // namespace netrove::testing_time
