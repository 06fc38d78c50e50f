// The schedule of an EXECUTEAT line: a clock time every day (hh:mm) or
// every N minutes (a number), kept as absolute instants of NowSeconds, so
// a daily command runs once in its minute each day, and a command N
// minutes apart never drifts or runs twice after a late wake-up; every
// wait is at least one second. Pure functions.
#pragma once

#include <cstdint>
#include <string>

namespace netrove {

// The first instant at which the command runs, for a reading `now`.
uint32_t FirstExecuteAt(const std::string& time_text, uint32_t now);
// The instant after a run that was due at `due` and happened at `now`.
uint32_t NextExecuteAt(const std::string& time_text, uint32_t due, uint32_t now);
// Seconds between two runs when all goes to plan.
uint32_t ExecuteAtPeriod(const std::string& time_text);

}  // namespace netrove
