#include "runtime/text.h"

#include <algorithm>
#include <string>

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

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return upper(x) == upper(y); });
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string CollapseBlanks(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  for (char c : line) {
    if (c == '\t') c = ' ';
    if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
    out.push_back(c);
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
  return UpperAscii(text).find(UpperAscii(word)) != std::string::npos;
}

std::optional<uint64_t> ParseDecimal(std::string_view text, size_t max_digits) {
  if (text.empty() || text.size() > std::min<size_t>(max_digits, 19)) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

std::optional<uint16_t> ParsePortNumber(std::string_view text) {
  const std::optional<uint64_t> value = ParseDecimal(text, 5);
  if (!value || *value > 65535) return std::nullopt;
  return static_cast<uint16_t>(*value);
}

std::string BareName(std::string_view name) {
  size_t slash = name.find_last_of("/\\");
  std::string base(slash == std::string_view::npos ? name : name.substr(slash + 1));
  size_t dot = base.rfind('.');
  if (dot != std::string::npos) base.erase(dot);
  return base;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string UrlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out.push_back(' ');
      continue;
    }
    if (c == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
        HexDigitValue(text[i + 2]) >= 0) {
      out.push_back(
          static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2])));
      i += 2;
      continue;
    }
    out.push_back(c);
  }
  return out;
}

void ForEachLine(std::string_view text, const std::function<void(std::string_view)>& line) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view piece = text.substr(start, end - start);
    if (piece.ends_with('\r')) piece.remove_suffix(1);
    line(piece);
    start = end + 1;
  }
}

std::string GroupThousands(uint64_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace netrove
