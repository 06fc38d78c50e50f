// The program's clock in seconds, the local date, and their text forms.
// Pure functions over readings of the Env's clock; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/env.h"

namespace netrove {

// Seconds from Monday 29 December 1969 00:00 local time (the local seconds
// since 1970 plus 259200), as an unsigned 32-bit count: weeks are
// NowSeconds / 604800, each starting on Monday 00:00.
inline constexpr uint32_t kSecondsShift = 259200;
inline uint32_t ToNowSeconds(int64_t local_seconds) {
  return static_cast<uint32_t>(static_cast<uint64_t>(local_seconds + kSecondsShift));
}
inline uint32_t NowSeconds(Env& env) { return ToNowSeconds(env.LocalSeconds()); }

// Seconds since 1970 in UTC of a local seconds count, by the Env's local
// offset at that moment.
int64_t UtcFromLocalSeconds(Env& env, int64_t local_seconds);

// Broken-down local date and time of a local seconds count.
struct LocalDateTime {
  int year, month, day;  // month 1-12, day 1-31
  int hour, minute, second;
  int weekday;  // 0 = Sunday ... 6 = Saturday
};
LocalDateTime BreakDownLocal(int64_t local_seconds);

// The date and time of a seconds count as mail and HTTP headers write it,
// "Mon, 7 Dec 2026 11:20:52 " followed by `zone` ("GMT", "+0100").
std::string HeaderDateText(int64_t seconds, std::string_view zone);

// "hh:mm:ss" with hours modulo 24, prefixed by "<days>." from one day on.
std::string FormatDuration(uint32_t seconds);

// "H:MM": the first instant at or after `base` whose clock shows that hour
// and minute (keeping base's seconds); hour above 23 and minute above 59
// count as 0. Otherwise a number of minutes N (0 counts as 1): base + 60 N.
uint32_t NextTimeOf(uint32_t base, const std::string& text);

// A number as the program reads numbers from text: the whole (trimmed)
// text must be a decimal integer, otherwise 0.
int64_t ReadNumber(const std::string& text);

}  // namespace netrove
