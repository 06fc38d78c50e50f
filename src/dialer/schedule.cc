#include "dialer/schedule.h"

#include <cstdint>
#include <optional>

namespace netrove {
namespace {

std::optional<int> WholeNumber(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > 65535) return std::nullopt;
  return value;
}

// "h:mm" as hours and minutes.
bool ParseTime(std::string_view text, int& hours, int& minutes) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  std::optional<int> h = WholeNumber(text.substr(0, colon));
  std::optional<int> m = WholeNumber(text.substr(colon + 1));
  if (!h || !m) return false;
  hours = *h;
  minutes = *m;
  return true;
}

}  // namespace

bool WindowMatches(std::string_view window, const LocalDateTime& now) {
  std::string text;
  for (char c : window)
    if (c != ' ') text += c;
  size_t dash = text.find('-');
  size_t colons = 0;
  for (char c : text) colons += c == ':';
  if (dash == std::string::npos || colons < 2) return false;
  std::string start = text.substr(0, dash), end = text.substr(dash + 1);
  std::string days = "0123456";
  if (size_t dot = start.find('.'); dot != std::string::npos) {
    days = start.substr(0, dot);
    start.erase(0, dot + 1);
  }
  if (now.weekday < 0 || now.weekday > 6 || days.find(char('0' + now.weekday)) == std::string::npos)
    return false;
  int minute_of_day = now.hour * 60 + now.minute;
  int h = 0, m = 0;
  if (!ParseTime(start, h, m) || minute_of_day < h * 60 + m) return false;
  if (!ParseTime(end, h, m)) return false;
  if (h == 0) h = 24;
  return minute_of_day <= h * 60 + m;
}

bool ScheduleMatches(std::string_view schedule, const LocalDateTime& now) {
  size_t pos = 0;
  for (;;) {
    size_t comma = schedule.find(',', pos);
    if (WindowMatches(schedule.substr(pos, comma - pos), now)) return true;
    if (comma == std::string_view::npos) return false;
    pos = comma + 1;
  }
}

ScheduledNumber ApplySchedule(const std::string& text, const LocalDateTime& now) {
  size_t bar = text.find('|');
  if (bar == std::string::npos) return {text, true};
  return {text.substr(bar + 1), ScheduleMatches(std::string_view(text).substr(0, bar), now)};
}

std::vector<std::string> NumberList(const std::vector<std::string>& add_phone) {
  std::vector<std::string> list = add_phone;
  if (list.empty() || !list.front().empty()) list.insert(list.begin(), std::string());
  return list;
}

}  // namespace netrove
