// Until the remote-access layer exists the phonebook is empty.
#include "dialer/entries.h"

namespace netrove {

std::string ResolveEntryName(const std::string& name) { return name; }
bool EntryExists(const std::string&) { return false; }
std::optional<EntryDefaults> LoadEntryDefaults(const std::string&) { return std::nullopt; }

}  // namespace netrove
