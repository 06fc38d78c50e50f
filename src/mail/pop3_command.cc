#include "mail/pop3_command.h"

#include <algorithm>

#include "runtime/text.h"

namespace netrove {

Pop3Command SplitAuthorisationCommand(const std::string& prepared) {
  size_t blank = prepared.find(' ');
  if (blank == std::string::npos) return {UpperAscii(prepared.substr(0, 4)), prepared, false};
  return {UpperAscii(prepared.substr(0, blank)), prepared.substr(blank + 1), true};
}

Pop3Command SplitTransactionCommand(const std::string& prepared) {
  size_t blank = prepared.find(' ');
  if (blank == std::string::npos) return {UpperAscii(prepared), "", false};
  return {UpperAscii(prepared.substr(0, blank)), prepared.substr(blank + 1), true};
}

uint16_t ParseMessageNumber(std::string_view text) {
  if (text.empty() || text.size() > 5) return 0;
  uint32_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  return n > 65535 ? 0 : static_cast<uint16_t>(n);
}

std::optional<uint64_t> ParseLineCount(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = std::min<uint64_t>(n * 10 + static_cast<uint64_t>(c - '0'), UINT32_MAX);
  }
  return n;
}

std::string EchoText(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
  return out;
}

}  // namespace netrove
