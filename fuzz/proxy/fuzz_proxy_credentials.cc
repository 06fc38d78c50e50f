// Credentials lines and user files: the Base64 decoder keeps its bounds and
// decodes what the standard encoder makes; the entry choice never admits a
// user under a name other than his own or the default one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "proxy/proxy_users.h"
#include "runtime/text.h"

namespace {

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

std::string Encode(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = 0;
    for (size_t k = 0; k < 3; ++k)
      n = n << 8 | (i + k < bytes.size() ? static_cast<uint8_t>(bytes[i + k]) : 0u);
    const size_t chars = bytes.size() - i >= 3 ? 4 : bytes.size() - i + 1;
    for (size_t k = 0; k < 4; ++k) out += k < chars ? kAlphabet[(n >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The credentials line up to the first line end, the user file after it.
  const size_t end = text.find('\n');
  const std::string line = text.substr(0, end);

  const netrove::Base64Result raw = netrove::DecodeBase64(text);
  Check(raw.data.size() <= text.size() * 3 / 4 + 1);
  Check(raw.bad_chars.size() == std::min(raw.bad_count, netrove::kCharErrorReports));
  const netrove::Base64Result round = netrove::DecodeBase64(Encode(text));
  Check(round.data == text && round.bad_count == 0);

  netrove::Base64Result decoded;
  const auto credentials = netrove::ParseProxyCredentials(line, &decoded);
  Check(decoded.bad_chars.size() <= netrove::kCharErrorReports);
  if (!credentials) return 0;
  Check(credentials->user == netrove::UpperAscii(credentials->user));
  Check(line.empty() == !credentials->password.has_value());
  Check(line.empty() || credentials->user.find(':') == std::string::npos);

  std::vector<std::string> entries;
  if (end != std::string::npos) {
    const netrove::ParsedList parsed = netrove::ParseListText(text.substr(end + 1), false);
    entries = parsed.entries;
  }
  std::string user;
  if (netrove::MatchProxyUser(entries, *credentials, "192.168.0.1", 3128, 1796475899, user))
    Check(user == "-" || netrove::UpperAscii(user) == credentials->user);
  return 0;
}
