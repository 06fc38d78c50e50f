// The phonebook file: one "[name]" section per entry, "Key value" lines
// (Phone, User, Password, Domain, Device and the device's own keys), ";"
// starts a comment. Human-editable; holds passwords, so it is written with
// mode 0600.
//
// Reading is bounded: at most kMaxPhonebookBytes of the file, lines longer
// than kMaxPhonebookLine are skipped, at most kMaxSections sections and
// kMaxKeys keys per section are kept. Pure functions plus file helpers
// over an Env; thread-safe (no shared state).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/env.h"

namespace netrove {

inline constexpr size_t kMaxPhonebookBytes = 1u << 20;
inline constexpr size_t kMaxPhonebookLine = 1024;
inline constexpr size_t kMaxSections = 1000;
inline constexpr size_t kMaxKeys = 64;
inline constexpr size_t kMaxEntryName = 256;

struct PhonebookSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> keys;  // in file order
  // Value of the first key equal to `key` without regard to case ("" if none).
  std::string Get(std::string_view key) const;
  bool Has(std::string_view key) const;
};

std::vector<PhonebookSection> ParsePhonebook(std::string_view text);
// The section as written: "[name]" and one "Key value" line per key.
std::string FormatSection(const PhonebookSection& section);

// $NETROVE_PHONEBOOK when set and non-empty, else "phonebook" in the
// program directory.
std::string PhonebookPath();

// The sections of the file; nullopt when it does not exist or cannot be read.
std::optional<std::vector<PhonebookSection>> ReadPhonebook(Env& env, const std::string& path);
// First section whose name equals `name` without regard to case.
const PhonebookSection* FindSection(const std::vector<PhonebookSection>& sections,
                                    std::string_view name);

// True when `name` can head a section: 1 to 256 characters, no control
// characters, no "[" or "]", no leading or trailing space.
bool ValidEntryName(std::string_view name);
// True when `value` fits on one line (no control characters but tab).
bool ValidPhonebookValue(std::string_view value);

// Adds a section at the end of the file (creating it), rewriting the file
// atomically with mode 0600. False (file untouched) when the name or a
// value is not valid, the name is already taken, or the write fails.
[[nodiscard]] bool AppendSection(Env& env, const std::string& path,
                                 const PhonebookSection& section);

}  // namespace netrove
