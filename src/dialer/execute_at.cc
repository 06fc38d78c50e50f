#include "dialer/execute_at.h"

#include <algorithm>

#include "runtime/clock.h"

namespace netrove {
namespace {

bool IsClockTime(const std::string& time_text) { return time_text.find(':') != std::string::npos; }

}  // namespace

uint32_t ExecuteAtPeriod(const std::string& time_text) {
  if (IsClockTime(time_text)) return 86400;
  return NextTimeOf(0, time_text);
}

uint32_t FirstExecuteAt(const std::string& time_text, uint32_t now) {
  // A clock time is due at the start of its minute (at once when that
  // minute is running now).
  if (IsClockTime(time_text)) return NextTimeOf(now - now % 60, time_text);
  return NextTimeOf(now, time_text);
}

uint32_t NextExecuteAt(const std::string& time_text, uint32_t due, uint32_t now) {
  uint32_t next;
  if (IsClockTime(time_text)) {
    // From the minute after the run: the same minute is not met again today.
    uint32_t last = std::max(due, now);
    next = NextTimeOf(last - last % 60 + 60, time_text);
  } else {
    next = NextTimeOf(due, time_text);
    if (next <= now) next = NextTimeOf(now, time_text);  // late: no catching up
  }
  return std::max(next, now + 1);
}

}  // namespace netrove
