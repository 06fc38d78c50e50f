// Phone numbers with time windows: "schedule|number", where the schedule
// is a list of windows "[weekdays.]h:mm-h:mm" separated by ",". Pure
// functions of the text and the given local time; thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/clock.h"

namespace netrove {

// One window: spaces ignored; weekday digits 0 (Sunday) to 6 before "."
// (all days without); both ends included; an end hour of 0 means 24; no
// wrap past midnight. A malformed window never matches.
bool WindowMatches(std::string_view window, const LocalDateTime& now);
// True when any window of the list matches.
bool ScheduleMatches(std::string_view schedule, const LocalDateTime& now);

struct ScheduledNumber {
  std::string number;   // the text after the first "|" (the whole text without one)
  bool allowed = true;  // false when the schedule does not cover `now`
};
ScheduledNumber ApplySchedule(const std::string& text, const LocalDateTime& now);

// The rotation list: the first entry stands for PHONE (or the entry's own
// number) and is always empty; the ADDPHONE numbers follow.
std::vector<std::string> NumberList(const std::vector<std::string>& add_phone);

}  // namespace netrove
