#include "dialer/entries.h"

#include "config/scrambler.h"
#include "runtime/clock.h"
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

ParseEnvironment PhonebookParseEnvironment(Env& env, RemoteAccess& ras,
                                           const std::string& phonebook_path) {
  ParseEnvironment parse_env;
  parse_env.resolve_entry = [&ras](const std::string& n) { return ResolveEntryName(ras, n); };
  parse_env.entry_exists = [&ras](const std::string& n) { return EntryExists(ras, n); };
  parse_env.entry_defaults = [&ras](const std::string& n) { return LoadEntryDefaults(ras, n); };
  parse_env.now = NowSeconds(env);
  parse_env.volume_key = VolumeKey(env);
  parse_env.phonebook_path = phonebook_path;
  return parse_env;
}

}  // namespace netrove
