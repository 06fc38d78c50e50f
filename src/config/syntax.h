// The line syntax of netrove.dat and the readers of its value types.
// Pure functions; thread-safe; nothing throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/text.h"

namespace netrove {

inline constexpr size_t kMaxConfigLine = 255;

// Splits a file text into lines at LF, removing a CR before the LF; each
// line is cut at kMaxConfigLine bytes (the indexes of cut lines go to
// `cut` when given). A final line without LF counts.
std::vector<std::string> SplitConfigLines(std::string_view text,
                                          std::vector<size_t>* cut = nullptr);

// The value of a cut line without its last list item (from the last ","
// on), which may be a fragment: "23,28340,2" must not become port 2.
// A value without "," is kept as cut.
std::string DropCutListItem(const std::string& value);

// A time of BREAK or EXECUTEAT the clock can hold: "H:MM" (one or two
// digits each) or a number of minutes from 0 to kMaxTimeMinutes.
inline constexpr int64_t kMaxTimeMinutes = 527040;  // 366 days
bool ValidTimeText(std::string_view text);

// Tabs become spaces, leading and trailing spaces go, every run of spaces
// becomes one space.
std::string NormalizeLine(std::string_view raw);

// "KEYWORD value" of a normalised line: the text before the first space,
// upper-cased, and the rest after that space ("" when there is none).
std::pair<std::string, std::string> SplitKeyword(const std::string& line);
// First word and the rest of a normalised value (the same cut, no case change).
std::pair<std::string, std::string> SplitFirstWord(const std::string& value);

// A whole decimal number from 0 to 65535 (trimmed, optional sign), or nothing.
std::optional<uint16_t> ParseWord(std::string_view text);
// word: ParseWord or 0.
uint16_t ReadWord(std::string_view text);
// long: a signed 32-bit decimal number, 0 when unreadable or out of range.
int32_t ReadLong(std::string_view text);
// yes/no: the first character is Y or y.
bool ReadYesNo(std::string_view text);

}  // namespace netrove
