#include "runtime/clock.h"

#include <cstdio>
#include <ctime>

namespace netrove {

LocalDateTime BreakDownLocal(int64_t local_seconds) {
  time_t t = static_cast<time_t>(local_seconds);
  struct tm tm;
  gmtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
          tm.tm_min,         tm.tm_sec,     tm.tm_wday};
}

std::string HeaderDateText(int64_t seconds, std::string_view zone) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const LocalDateTime t = BreakDownLocal(seconds);
  char text[48];
  std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d ", kDays[t.weekday], t.day,
                kMonths[t.month - 1], t.year, t.hour, t.minute, t.second);
  return text + std::string(zone);
}

int64_t UtcFromLocalSeconds(Env& env, int64_t local_seconds) {
  // The offset is that of the UTC moment: found from a first guess.
  const int64_t guess = local_seconds - env.LocalOffsetAt(local_seconds);
  return local_seconds - env.LocalOffsetAt(guess);
}

std::string FormatDuration(uint32_t seconds) {
  char buf[40];
  uint32_t days = seconds / 86400;
  unsigned h = seconds / 3600 % 24, m = seconds / 60 % 60, s = seconds % 60;
  if (days > 0)
    std::snprintf(buf, sizeof buf, "%u.%02u:%02u:%02u", days, h, m, s);
  else
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", h, m, s);
  return buf;
}

int64_t ReadNumber(const std::string& text) {
  size_t b = text.find_first_not_of(" \t");
  if (b == std::string::npos) return 0;
  size_t e = text.find_last_not_of(" \t");
  std::string t = text.substr(b, e - b + 1);
  size_t i = 0;
  bool neg = false;
  if (t[0] == '-' || t[0] == '+') {
    neg = t[0] == '-';
    i = 1;
  }
  if (i >= t.size() || t.size() - i > 18) return 0;
  int64_t v = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return 0;
    v = v * 10 + (t[i] - '0');
  }
  return neg ? -v : v;
}

uint32_t NextTimeOf(uint32_t base, const std::string& text) {
  size_t colon = text.find(':');
  if (colon == std::string::npos) {
    int64_t minutes = ReadNumber(text);
    if (minutes == 0) minutes = 1;
    return static_cast<uint32_t>(base + static_cast<uint32_t>(minutes * 60));
  }
  int64_t hour = ReadNumber(text.substr(0, colon));
  int64_t minute = ReadNumber(text.substr(colon + 1));
  if (hour > 23 || hour < 0) hour = 0;
  if (minute > 59 || minute < 0) minute = 0;
  uint32_t day_start = base - base % 86400;
  uint32_t candidate = day_start + static_cast<uint32_t>(hour * 3600 + minute * 60) + base % 60;
  if (candidate < base) candidate += 86400;
  return candidate;
}

}  // namespace netrove
