#include "dialer/entries.h"

#include "runtime/text.h"

namespace netrove {
namespace {

std::vector<std::string> EntryNames(RemoteAccess& ras) {
  std::vector<std::string> names;
  if (ras.EnumEntries(names) != 0) names.clear();
  return names;
}

}  // namespace

std::string ResolveEntryName(RemoteAccess& ras, const std::string& name) {
  std::string upper = UpperAscii(name);
  for (const std::string& entry : EntryNames(ras))
    if (UpperAscii(entry) == upper) return entry;
  return name;
}

bool EntryExists(RemoteAccess& ras, const std::string& name) {
  std::string upper = UpperAscii(name);
  for (const std::string& entry : EntryNames(ras))
    if (UpperAscii(entry) == upper) return true;
  return false;
}

std::optional<EntryDefaults> LoadEntryDefaults(RemoteAccess& ras, const std::string& entry) {
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
