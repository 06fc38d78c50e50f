// Phonebook entries as the rest of the program sees them: names compared
// without regard to case, through a remote-access layer (at most 30
// entries; past that the enumeration fails and nothing is found).
#pragma once

#include <optional>
#include <string>

#include "config/config.h"
#include "dialer/remote_access.h"

namespace netrove {

// The phonebook entry name equal to `name` without regard to case, or
// `name` unchanged when none matches.
std::string ResolveEntryName(RemoteAccess& ras, const std::string& name);
bool EntryExists(RemoteAccess& ras, const std::string& name);
// The user name, password, domain and phone number stored with an entry;
// nothing when its stored dial parameters cannot be read.
std::optional<EntryDefaults> LoadEntryDefaults(RemoteAccess& ras, const std::string& entry);

// What reading netrove.dat needs of the phonebook at `phonebook_path`
// (read through `ras`, which must outlive the result) and of the machine:
// the entries and their stored defaults, the time and the volume key.
ParseEnvironment PhonebookParseEnvironment(Env& env, RemoteAccess& ras,
                                           const std::string& phonebook_path);

}  // namespace netrove
