#include "net/address_match.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/clock.h"

namespace netrove {
namespace {

// A plain decimal number of 1..6 digits.
std::optional<int> Decimal(std::string_view text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// "hh:mm" as hours and minutes.
std::optional<std::pair<int, int>> ClockTime(std::string_view text) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  auto h = Decimal(text.substr(0, colon));
  auto m = Decimal(text.substr(colon + 1));
  if (!h || !m) return std::nullopt;
  return std::make_pair(*h, *m);
}

// Next part of a dotted text, with its trailing ".".
std::string_view TakePart(std::string_view& text) {
  size_t dot = text.find('.');
  size_t len = dot == std::string_view::npos ? text.size() : dot + 1;
  std::string_view part = text.substr(0, len);
  text.remove_prefix(len);
  return part;
}

// A pattern part as an address part would show it ("" when no address
// shows it: "010", "300", "x"); "*" and a missing part give "0".
std::string CanonicalOctet(std::string_view part) {
  if (part.empty() || part == "*") return "0";
  auto value = Decimal(part);
  if (!value || *value > 255 || std::to_string(*value) != part) return "";
  return std::string(part);
}

bool IsLocalNetwork(int first, int second) {
  return first == 127 || first == 10 || (first == 172 && second >= 16 && second <= 31) ||
         (first == 192 && second == 168) || (first == 169 && second == 254);
}

}  // namespace

bool TimeWindowHoldsAt(const std::string& window, int weekday, int minute_of_day) {
  std::string text;
  for (char c : window)
    if (c != ' ' && c != '\t') text.push_back(c);
  size_t first_colon = text.find(':');
  if (text.empty() || text.find('-') == std::string::npos || first_colon == std::string::npos ||
      text.find(':', first_colon + 1) == std::string::npos)
    return false;
  if (text.substr(0, text.find('-')).find('.') == std::string::npos) text = "0123456." + text;
  size_t dot = text.find('.');
  char today = static_cast<char>('0' + weekday);
  if (text.substr(0, dot).find(today) == std::string::npos) return false;
  text.erase(0, dot + 1);
  size_t dash = text.find('-');
  if (dash == std::string::npos) return false;
  auto start = ClockTime(std::string_view(text).substr(0, dash));
  auto end = ClockTime(std::string_view(text).substr(dash + 1));
  if (!start || !end) return false;
  int end_hour = end->first == 0 ? 24 : end->first;
  int start_minute = start->first * 60 + start->second;
  int end_minute = end_hour * 60 + end->second;
  return start_minute <= minute_of_day && minute_of_day <= end_minute;
}

bool TimeWindowHolds(const std::string& window, int64_t local_seconds) {
  LocalDateTime now = BreakDownLocal(local_seconds);
  return TimeWindowHoldsAt(window, now.weekday, now.hour * 60 + now.minute);
}

bool MatchAddressEntry(const std::string& client, const std::string& entry, uint16_t local_port,
                       int64_t local_seconds) {
  std::string rest = entry;
  if (!rest.empty() && rest[0] == '#') rest.erase(0, 1);
  for (size_t comma = rest.find(','); comma != std::string::npos; comma = rest.find(',')) {
    if (!TimeWindowHolds(rest.substr(0, comma), local_seconds)) return false;
    rest.erase(0, comma + 1);
  }
  size_t colon = rest.find(':');
  if (colon != std::string::npos) {
    auto port = Decimal(std::string_view(rest).substr(colon + 1));
    if (!port || *port != local_port) return false;
    rest.erase(colon);
  }
  rest += '.';
  std::string_view address = client;
  std::string_view pattern = rest;
  std::string_view last_part;
  while (!address.empty()) {
    if (pattern.empty()) return last_part == "*.";
    std::string_view a = TakePart(address);
    std::string_view p = TakePart(pattern);
    last_part = p;
    if (p != "*." && p != a) return false;
  }
  return pattern.empty();
}

bool AddressPatternTooLong(const std::string& entry) {
  std::string_view rest = entry;
  size_t comma = rest.rfind(',');
  if (comma != std::string_view::npos) rest.remove_prefix(comma + 1);
  rest = rest.substr(0, rest.find(':'));
  int parts = 0;
  while (!rest.empty()) {
    TakePart(rest);
    ++parts;
  }
  return parts > 4;
}

bool AddressEntryAdmitsOutside(const std::string& entry) {
  std::string pattern = entry;
  if (size_t comma = pattern.rfind(','); comma != std::string::npos) pattern.erase(0, comma + 1);
  pattern = pattern.substr(0, pattern.find(':'));
  if (!pattern.empty() && pattern[0] == '#') pattern.erase(0, 1);
  if (AddressPatternTooLong(pattern)) return false;
  std::string_view rest = pattern;
  std::string parts[4];
  for (std::string& part : parts) {
    std::string_view taken = TakePart(rest);
    if (taken.ends_with('.')) taken.remove_suffix(1);
    part = std::string(taken);
  }
  const std::string third = CanonicalOctet(parts[2]), fourth = CanonicalOctet(parts[3]);
  if (third.empty() || fourth.empty()) return false;
  // The first two parts decide: try each value a "*" stands for.
  auto values = [](const std::string& part) {
    std::vector<int> list;
    if (part == "*" || part.empty()) {
      for (int v = 0; v < 256; ++v) list.push_back(v);
    } else if (std::string octet = CanonicalOctet(part); !octet.empty()) {
      list.push_back(std::stoi(octet));
    }
    return list;
  };
  for (int first : values(parts[0]))
    for (int second : values(parts[1])) {
      if (IsLocalNetwork(first, second)) continue;
      const std::string client =
          std::to_string(first) + "." + std::to_string(second) + "." + third + "." + fourth + ".";
      if (MatchAddressEntry(client, pattern, 0, 0)) return true;
    }
  return false;
}

}  // namespace netrove
