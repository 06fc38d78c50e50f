// The program's clock in seconds and its text forms.
#pragma once

#include <cstdint>
#include <string>

namespace netrove {

// Seconds from Monday 29 December 1969 00:00 local time (the local seconds
// since 1970 plus 259200), as an unsigned 32-bit count: weeks are
// NowSeconds() / 604800, each starting on Monday 00:00.
uint32_t NowSeconds();
inline constexpr uint32_t kSecondsShift = 259200;

// Plain calendar of a seconds count taken as seconds from 1 January 1970
// (every fourth year a leap year), without removing the shift.
struct Calendar {
  int year, month, day, hour, minute, second;
};
Calendar CalendarOf(uint32_t seconds);

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
