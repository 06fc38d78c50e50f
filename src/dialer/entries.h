// Phonebook entries as the rest of the program sees them.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace netrove {

// The phonebook entry name equal to `name` without regard to case, or
// `name` unchanged when none matches.
std::string ResolveEntryName(const std::string& name);
bool EntryExists(const std::string& name);

// User name, password, domain and phone number stored with an entry.
struct EntryDefaults {
  std::string user, password, domain, phone;
};
// Nothing when the entry's stored dial parameters cannot be read.
std::optional<EntryDefaults> LoadEntryDefaults(const std::string& entry);

// Every phonebook entry name (empty past 30 entries or without a phonebook).
std::vector<std::string> PhonebookEntryNames();

}  // namespace netrove
