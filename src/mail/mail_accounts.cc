#include "mail/mail_accounts.h"

#include "runtime/text.h"

namespace netrove {

namespace {

void ParseLine(std::string_view raw, MailAccounts& accounts) {
  if (raw.find('\0') != std::string_view::npos) return;
  std::string line = CollapseBlanks(raw.substr(0, raw.find(';')));
  size_t blank = line.find(' ');
  if (blank == std::string::npos) return;
  std::string keyword = UpperAscii(line.substr(0, blank));
  std::string arguments = line.substr(blank + 1);
  size_t second = arguments.find(' ');
  if (second == std::string::npos) return;
  if (keyword == "SERVER") {
    accounts.servers.push_back(arguments);
  } else if (keyword == "USER") {
    accounts.users.push_back(arguments);
  } else if (keyword == "ALIAS") {
    if (arguments.starts_with('*')) {
      accounts.default_user = arguments.substr(second + 1);
    } else {
      accounts.aliases.push_back(UpperAscii(arguments));
    }
  }
}

}  // namespace

MailAccounts ParseMailAccounts(std::string_view text, std::string default_user) {
  MailAccounts accounts;
  accounts.default_user = std::move(default_user);
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    ParseLine(text.substr(0, end), accounts);
    if (end == std::string_view::npos) break;
    size_t next = end + 1;
    if (text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
    text.remove_prefix(next);
  }
  return accounts;
}

std::optional<std::string> MatchUserEntry(std::string_view entry, std::string_view login,
                                          std::string_view password) {
  size_t blank = entry.find(' ');
  if (blank == std::string_view::npos || !EqualsNoCase(entry.substr(0, blank), login))
    return std::nullopt;
  std::string_view rest = entry.substr(blank + 1);
  size_t end = rest.find(' ');
  std::string_view stored = rest.substr(0, end);
  if (password == "-" || stored != password) return std::nullopt;
  return end == std::string_view::npos ? std::string() : std::string(rest.substr(end + 1));
}

}  // namespace netrove
