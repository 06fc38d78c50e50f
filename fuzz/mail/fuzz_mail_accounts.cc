// The servpop3.dat parser, then every USER line through the login match
// and the mailbox names it yields.
#include <cstddef>
#include <cstdint>
#include <string>

#include "mail/mail_accounts.h"
#include "mail/mail_names.h"

namespace {

bool Clean(const std::string& entry) {
  return !entry.empty() && entry.front() != ' ' && entry.back() != ' ' &&
         entry.find(' ') != std::string::npos && entry.find("  ") == std::string::npos &&
         entry.find_first_of(std::string("\t\r\n;\0", 5)) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  netrove::MailAccounts a = netrove::ParseMailAccounts(text, "admin");
  for (const auto* list : {&a.servers, &a.users, &a.aliases})
    for (const std::string& entry : *list)
      if (!Clean(entry)) __builtin_trap();
  for (const std::string& entry : a.users) {
    std::string login = entry.substr(0, entry.find(' '));
    std::string rest = entry.substr(entry.find(' ') + 1);
    std::string password = rest.substr(0, rest.find(' '));
    auto dir = netrove::MatchUserEntry(entry, login, password);
    if (password == "-" ? dir.has_value() : !dir.has_value()) __builtin_trap();
    std::string box = netrove::MailboxComponent(dir && !dir->empty() ? *dir : login);
    if (box.find_first_of("/\\") != std::string::npos || box == "." || box == "..")
      __builtin_trap();
  }
  return 0;
}
