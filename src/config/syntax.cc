#include "config/syntax.h"

#include "runtime/clock.h"

namespace netrove {

std::vector<std::string> SplitConfigLines(std::string_view text, std::vector<size_t>* cut) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (end == std::string_view::npos) end = text.size();
    size_t len = end - pos;
    if (len > 0 && text[end - 1] == '\r') --len;
    if (len > kMaxConfigLine && cut) cut->push_back(lines.size());
    lines.emplace_back(text.substr(pos, std::min(len, kMaxConfigLine)));
    pos = next;
  }
  return lines;
}

std::string NormalizeLine(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  bool pending_space = false;
  for (char c : raw) {
    if (c == ' ' || c == '\t') {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) out += ' ';
    pending_space = false;
    out += c;
  }
  return out;
}

std::pair<std::string, std::string> SplitFirstWord(const std::string& value) {
  size_t space = value.find(' ');
  if (space == std::string::npos) return {value, ""};
  return {value.substr(0, space), value.substr(space + 1)};
}

std::pair<std::string, std::string> SplitKeyword(const std::string& line) {
  auto [keyword, value] = SplitFirstWord(line);
  return {UpperAscii(keyword), value};
}

std::optional<uint16_t> ParseWord(std::string_view text) {
  std::string t(text);
  size_t b = t.find_first_not_of(" \t");
  if (b == std::string::npos) return std::nullopt;
  // ReadNumber gives 0 for anything unreadable; tell a written 0 apart.
  int64_t v = ReadNumber(t);
  if (v == 0) {
    size_t e = t.find_last_not_of(" \t");
    std::string_view s = std::string_view(t).substr(b, e - b + 1);
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
    if (s.empty() || s.find_first_not_of('0') != std::string_view::npos) return std::nullopt;
  }
  if (v < 0 || v > 65535) return std::nullopt;
  return static_cast<uint16_t>(v);
}

uint16_t ReadWord(std::string_view text) { return ParseWord(text).value_or(0); }

int32_t ReadLong(std::string_view text) {
  int64_t v = ReadNumber(std::string(text));
  if (v < INT32_MIN || v > INT32_MAX) return 0;
  return static_cast<int32_t>(v);
}

bool ReadYesNo(std::string_view text) {
  return !text.empty() && (text[0] == 'Y' || text[0] == 'y');
}

}  // namespace netrove

namespace netrove {

std::string DropCutListItem(const std::string& value) {
  size_t comma = value.rfind(',');
  return comma == std::string::npos ? value : value.substr(0, comma);
}

bool ValidTimeText(std::string_view text) {
  auto digits = [](std::string_view t, size_t max) {
    return !t.empty() && t.size() <= max &&
           t.find_first_not_of("0123456789") == std::string_view::npos;
  };
  size_t colon = text.find(':');
  if (colon != std::string_view::npos)
    return digits(text.substr(0, colon), 2) && digits(text.substr(colon + 1), 2);
  return digits(text, 6) && ReadNumber(std::string(text)) <= kMaxTimeMinutes;
}

}  // namespace netrove
