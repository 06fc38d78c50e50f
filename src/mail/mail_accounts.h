// The accounts file "servpop3.dat": the remote POP3 accounts to fetch
// (SERVER), the local POP3 logins (USER) and the aliases that map
// recipients to local users (ALIAS), with the default user for mail no
// alias claims.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace netrove {

inline constexpr char kMailAccountsFile[] = "servpop3.dat";
inline constexpr char kInitialDefaultMailUser[] = "admin";

// One reading of the file. Lines are kept as written after the keyword
// (blanks normalised); aliases in upper case.
struct MailAccounts {
  std::vector<std::string> servers;
  std::vector<std::string> users;
  std::vector<std::string> aliases;
  std::string default_user = kInitialDefaultMailUser;
};

// Parses the text of the file into fresh lists. A line loses everything
// from its first ";", TABs become blanks, runs of blanks one blank, and
// leading and trailing blanks go. The first word is the keyword (any
// case); a line whose arguments hold no blank, with an unknown keyword,
// or with a NUL byte is ignored. "ALIAS *" sets the default user, which
// otherwise stays `default_user`. CR, LF and CR LF all end lines.
MailAccounts ParseMailAccounts(std::string_view text, std::string default_user);

// A USER line's login, if `password` logs in as `login` (any case) by the
// entry: the mailbox directory named on the line, or "" for the login
// name's own. The password "-" never logs in.
std::optional<std::string> MatchUserEntry(std::string_view entry, std::string_view login,
                                          std::string_view password);

}  // namespace netrove
