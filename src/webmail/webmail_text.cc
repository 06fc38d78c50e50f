#include "webmail/webmail_text.h"

#include "runtime/text.h"

namespace netrove {

std::string HeaderSafe(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != '\r' && c != '\n' && c != '\0') out += c;
  return out;
}

namespace {

// A canonical decimal 1..65535: no sign, no leading zero.
std::optional<uint32_t> ItemNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 5 || digits[0] == '0') return std::nullopt;
  uint32_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  if (n > 65535) return std::nullopt;
  return n;
}

bool Dropped(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 32 || byte == 127 || c == ':' || c == '$' || c == '&';
}

// One round of cleaning: each removal looks at the text as it came in, so
// what one removal brings together is dealt with by the next round.
std::string CleanOnce(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool before_slash = i + 1 < text.size() && text[i + 1] == '/';
    if (Dropped(c) || ((c == ' ' || c == '.' || c == '/') && before_slash)) continue;
    if (c == '/' && out.empty()) continue;
    out.push_back(c);
  }
  return Trim(out, " ");
}

}  // namespace

std::string GetFormValue(std::string_view key, std::string_view text) {
  const size_t at = text.find(key);
  if (key.empty() || at == std::string_view::npos) return "";
  std::string_view value = text.substr(at + key.size());
  return Trim(UrlDecode(value.substr(0, value.find('&'))));
}

std::vector<uint32_t> CheckedNumbers(std::string_view form) {
  std::vector<uint32_t> numbers;
  for (size_t at = form.find("&d"); at != std::string_view::npos; at = form.find("&d", at + 2)) {
    std::string_view rest = form.substr(at + 2);
    const size_t end = rest.find_first_of("=&");
    if (end == std::string_view::npos || rest[end] != '=') continue;
    if (std::optional<uint32_t> n = ItemNumber(rest.substr(0, end))) numbers.push_back(*n);
  }
  return numbers;
}

std::string SafeLocalPath(std::string_view text) {
  std::string path(text);
  for (char& c : path)
    if (c == '\\') c = '/';
  // Every round that changes the text shortens it, so this ends.
  for (std::string next = CleanOnce(path); next != path; next = CleanOnce(path)) path = next;
  if (path.empty()) return "";
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string_view part = std::string_view(path).substr(start, end - start);
    if (part == "." || part == "..") return "";
    start = end + 1;
  }
  return path;
}

std::optional<std::string> ResolveInside(Env& env, const std::string& base,
                                         std::string_view relative) {
  const std::string cleaned = SafeLocalPath(relative);
  if (cleaned.empty() || base.empty()) return std::nullopt;
  const std::string path = base + "/" + cleaned;
  const std::optional<std::string> real_base = env.RealPath(base);
  if (!real_base) return std::nullopt;
  const std::optional<std::string> real_path = env.RealPath(path);
  const std::string prefix = real_base->ends_with('/') ? *real_base : *real_base + "/";
  if (!real_path || real_path->size() <= prefix.size() || !real_path->starts_with(prefix))
    return std::nullopt;
  return path;
}

}  // namespace netrove
