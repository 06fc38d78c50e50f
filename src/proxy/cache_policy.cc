#include "proxy/cache_policy.h"

#include <array>
#include <string>

#include "runtime/text.h"

namespace netrove {

bool IsStorableResponse(std::string_view header_text) {
  const std::string lower = LowerAscii(header_text);
  // Header lines after the status line; a folded line continues the one before.
  bool in_cache_control = false;
  for (size_t start = lower.find('\n'); start != std::string::npos;) {
    size_t end = lower.find('\n', start + 1);
    std::string_view line = std::string_view(lower).substr(
        start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    start = end;
    const bool folded = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (!folded) {
      const std::string name = Trim(line.substr(0, line.find(':')));
      if (name == "set-cookie" || name == "set-cookie2") return false;
      in_cache_control = name == "cache-control" && line.find(':') != std::string_view::npos;
    }
    if (in_cache_control && (line.find("private") != std::string_view::npos ||
                             line.find("no-store") != std::string_view::npos))
      return false;
  }
  return true;
}

bool IsCacheCandidate(const CacheEntryHeader& header) { return header.validator != 0; }

bool ServableWithoutCheck(const CacheEntryHeader& header, uint64_t file_size,
                          std::string_view file_name, std::string_view cache_path) {
  if (!IsCacheCandidate(header) || header.html != 0 || file_size >= kServeUncheckedBelow)
    return false;
  const size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == file_name.size()) return false;
  const std::string extension = LowerAscii(file_name.substr(dot + 1));
  static constexpr std::array<std::string_view, 11> kAlwaysChecked = {
      "htm", "css", "cab", "arj", "exe", "lha", "lzh", "ha", "pl", "rar", "zip"};
  for (std::string_view kind : kAlwaysChecked)
    if (extension.find(kind) != std::string::npos) return false;
  return LowerAscii(cache_path).find("cgi") == std::string::npos;
}

}  // namespace netrove
