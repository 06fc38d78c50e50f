#include "runtime/text.h"

namespace netrove {

std::string Trim(std::string_view text, std::string_view blanks) {
  size_t b = text.find_first_not_of(blanks);
  if (b == std::string_view::npos) return std::string();
  size_t e = text.find_last_not_of(blanks);
  return std::string(text.substr(b, e - b + 1));
}

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::optional<uint16_t> ParsePortNumber(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

std::string BareName(std::string_view name) {
  size_t slash = name.find_last_of("/\\");
  std::string base(slash == std::string_view::npos ? name : name.substr(slash + 1));
  size_t dot = base.rfind('.');
  if (dot != std::string::npos) base.erase(dot);
  return base;
}

}  // namespace netrove
