// Phonebook lookups through the remote-access layer: enumerate the entries
// (at most 30; past that the enumeration fails and nothing is found) and
// compare names without regard to case.
#include "dialer/entries.h"

#include "dialer/remote_access.h"

namespace netrove {
namespace {

std::vector<std::string> EntryNames() {
  std::vector<std::string> names;
  if (SystemRemoteAccess()->EnumEntries(names) != 0) names.clear();
  return names;
}

}  // namespace

std::vector<std::string> PhonebookEntryNames() { return EntryNames(); }

std::string ResolveEntryName(const std::string& name) {
  std::string upper = UpperAscii(name);
  for (const std::string& entry : EntryNames())
    if (UpperAscii(entry) == upper) return entry;
  return name;
}

bool EntryExists(const std::string& name) {
  std::string upper = UpperAscii(name);
  for (const std::string& entry : EntryNames())
    if (UpperAscii(entry) == upper) return true;
  return false;
}

std::optional<EntryDefaults> LoadEntryDefaults(const std::string& entry) {
  RemoteAccess& ras = *SystemRemoteAccess();
  DialRecord params;
  params.entry_name = entry;
  bool password_stored = false;
  if (ras.GetEntryDialParams(entry, params, password_stored) != 0) return std::nullopt;
  EntryDefaults defaults;
  defaults.user = params.user_name;
  defaults.password = password_stored ? params.password : std::string();
  defaults.domain = params.domain;
  EntryProperties props;
  if (ras.GetEntryProperties(entry, props) == 0) defaults.phone = props.local_phone;
  return defaults;
}

}  // namespace netrove
