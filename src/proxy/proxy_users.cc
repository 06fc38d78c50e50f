// Proxy users: the Base64 credentials of "Proxy-Authorization: Basic"
// (RFC 7617, alphabet of RFC 4648 section 4) and the choice of the entry in
// a user file.
#include "proxy/proxy_users.h"

#include "net/address_match.h"
#include "runtime/text.h"

namespace netrove {
namespace {

int Sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

Base64Result DecodeBase64(std::string_view text) {
  Base64Result result;
  uint32_t bits = 0;
  int held = 0;  // bits in `bits` not yet handed out, below 8 between characters
  for (char c : text) {
    if (c == '=') break;
    int value = Sextet(c);
    if (value < 0) {
      if (result.bad_count++ < kCharErrorReports) result.bad_chars.push_back(c);
      continue;
    }
    bits = ((bits << 6) | static_cast<uint32_t>(value)) & 0x3fff;
    held += 6;
    if (held >= 8) {
      held -= 8;
      result.data.push_back(static_cast<char>((bits >> held) & 0xff));
    }
  }
  return result;
}

std::string CharErrorText(char c) {
  static const char kHex[] = "0123456789abcdef";
  const auto code = static_cast<unsigned char>(c);
  std::string shown(1, c);
  if (code < 32 || code > 126) shown = std::string("\\x") + kHex[code >> 4] + kHex[code & 15];
  return "Char error:" + shown + " (" + std::to_string(code) + ")";
}

std::optional<ProxyCredentials> ParseProxyCredentials(std::string_view line,
                                                      Base64Result* decoded) {
  line = line.substr(0, kCredentialsLimit);
  if (line.empty()) return ProxyCredentials{"-", std::nullopt};
  if (size_t colon = line.find(':'); colon != std::string_view::npos) line.remove_prefix(colon + 1);
  const std::string text = Trim(line);
  const size_t space = text.find(' ');
  // The scheme word ("Basic") is not examined; what follows the space is
  // not empty, since the text is trimmed.
  if (space == std::string::npos) return std::nullopt;
  Base64Result result = DecodeBase64(std::string_view(text).substr(space + 1));
  const size_t separator = result.data.find(':');
  std::optional<ProxyCredentials> credentials;
  if (separator != std::string::npos)
    credentials = ProxyCredentials{UpperAscii(result.data.substr(0, separator)),
                                   result.data.substr(separator + 1)};
  if (decoded) *decoded = std::move(result);
  return credentials;
}

bool MatchProxyUser(const std::vector<std::string>& entries, const ProxyCredentials& credentials,
                    const std::string& local_dotted, uint16_t local_port, int64_t local_seconds,
                    std::string& user) {
  const std::string* own = nullptr;
  const std::string* fallback = nullptr;  // the last default entry
  for (const std::string& entry : entries) {
    std::string name = UpperAscii(entry.substr(0, entry.find(' ')));
    if (size_t comma = name.rfind(','); comma != std::string::npos) name.erase(0, comma + 1);
    if (name == "-") {
      fallback = &entry;
    } else if (name == credentials.user) {
      own = &entry;
      break;
    }
  }
  const std::string* chosen = own ? own : fallback;
  if (chosen == nullptr) return false;

  // The windows are the ","-separated parts of the first word, in front of
  // the name: a "," in the password or the address part is no window.
  const std::string_view entry = *chosen;
  const size_t word_end = entry.find(' ');
  std::string_view first = entry.substr(0, word_end);
  for (size_t comma; (comma = first.find(',')) != std::string_view::npos;) {
    if (!TimeWindowHolds(std::string(first.substr(0, comma)), local_seconds)) return false;
    first.remove_prefix(comma + 1);
  }
  const std::string name_field(first);
  if (UpperAscii(name_field) != (name_field == "-" ? "-" : credentials.user)) return false;

  std::string_view rest = word_end == std::string_view::npos ? "" : entry.substr(word_end + 1);
  const size_t password_end = rest.find(' ');
  std::string_view password = rest.substr(0, password_end);
  rest = password_end == std::string_view::npos ? "" : rest.substr(password_end + 1);
  if (!password.empty() && password != "-" &&
      (!credentials.password || *credentials.password != password))
    return false;

  const std::string pattern = rest.empty() ? "*.*.*.*" : std::string(rest);
  if (!MatchAddressEntry(local_dotted + ".", pattern, local_port, local_seconds)) return false;
  user = name_field;
  return true;
}

bool ProxyUsers::CheckProxyUser(const SocketVar& client, std::string_view credentials,
                                std::string& user, AddressList& list,
                                const std::string& file_name) {
  const int fd = client.handle();
  const uint32_t local = GetLocalAddress(fd);
  // Without the address the client reached, the address part cannot be judged.
  if (local == 0) return false;
  return CheckProxyUser(DottedAddress(local), GetLocalPort(fd), credentials, user, list, file_name);
}

bool ProxyUsers::CheckProxyUser(const std::string& local_dotted, uint16_t local_port,
                                std::string_view credentials, std::string& user, AddressList& list,
                                const std::string& file_name) {
  Base64Result decoded;
  const std::optional<ProxyCredentials> parsed = ParseProxyCredentials(credentials, &decoded);
  for (char c : decoded.bad_chars) console_.WriteLine(CharErrorText(c));
  if (!parsed) return false;
  (void)LoadAddressList(env_, log_, file_name, list, false, false);
  const auto contents = list.Snapshot();
  return MatchProxyUser(contents->entries, *parsed, local_dotted, local_port, env_.LocalSeconds(),
                        user);
}

}  // namespace netrove
