// The keyword table of netrove.dat: one row per keyword with its value
// type, its default and whether a reset puts it back to that default.
// The table is constant; every function here is pure and thread-safe.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "config/config.h"

namespace netrove {

enum class ValueType {
  kText,       // whole value
  kEntryName,  // text, stored as the phonebook's spelling
  kWord,       // 0..65535, else 0
  kLong,       // signed 32-bit, else 0
  kYesNo,      // first character Y/y
  kList,       // one entry per line
  kMapLink,    // list of checked port mappings
  kEventId,    // list of event rules
  kTime,       // BREAK: earliest absolute time
  kCommand,    // EXECUTESTART: run when read
  kTask,       // EXECUTEAT: started when read
  kFlagPair,   // EXECUTEFLAG: flag file and command
};

enum class ResetRule {
  kToDefault,  // a reset puts the table default back
  kKeep,       // survives every reset (keeps the value of an earlier load)
};

using FieldRef =
    std::variant<std::monostate, std::string ConfigRecord::*, uint16_t ConfigRecord::*,
                 int32_t ConfigRecord::*, bool ConfigRecord::*,
                 std::vector<std::string> ConfigRecord::*, std::vector<EventRule> ConfigRecord::*>;

struct KeywordRow {
  std::string_view name;  // upper case
  ValueType type;
  std::string_view default_value;  // as it would be written in the file
  ResetRule reset;
  FieldRef field;  // monostate for the acting types
};

std::span<const KeywordRow> KeywordTable();
// The row of an upper-case keyword, or nullptr.
const KeywordRow* FindKeyword(std::string_view keyword);

// Puts the row's default into `record` (lists are emptied).
void ApplyDefault(const KeywordRow& row, ConfigRecord& record);
// Copies the row's field from one record to another.
void CopyField(const KeywordRow& row, const ConfigRecord& from, ConfigRecord& to);
// Stores a value of a plain-typed row (text, word, long, yes/no, list).
// Returns false for the types the reader handles itself.
bool StoreValue(const KeywordRow& row, const std::string& value, ConfigRecord& record);

}  // namespace netrove
