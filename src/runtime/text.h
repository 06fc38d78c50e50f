// Small text helpers shared by the whole program.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace netrove {

// `text` without leading and trailing characters of `blanks`.
std::string Trim(std::string_view text, std::string_view blanks = " \t");

// ASCII letters upper-cased (keywords, command words and names compare so;
// other bytes are left alone).
std::string UpperAscii(std::string_view text);
// ASCII letters lower-cased, other bytes left alone.
std::string LowerAscii(std::string_view text);
// Equal but for the case of ASCII letters.
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool ContainsNoCase(std::string_view text, std::string_view word);
// TABs become blanks, runs of blanks one blank, none at either end.
std::string CollapseBlanks(std::string_view line);

// Decimal digits only (no sign, no blanks), one to `max_digits` of them
// (at most 19); nullopt otherwise.
std::optional<uint64_t> ParseDecimal(std::string_view text, size_t max_digits);

// A port number 0..65535 written as decimal digits only (no sign, no
// blanks, at most five digits); nullopt otherwise.
std::optional<uint16_t> ParsePortNumber(std::string_view text);

// The value of a hexadecimal digit (either case), -1 for any other byte.
int HexDigitValue(char c);

// URL decoding as the proxy and its log use it: every "+" becomes a
// space, then each "%" with two hexadecimal digits becomes that byte; a
// "%" without a valid pair stays as it is.
std::string UrlDecode(std::string_view text);

// Calls `line` for each line of `text`: lines end at LF, a CR before the
// LF is dropped, and a last line without LF counts (an empty text has
// none).
void ForEachLine(std::string_view text, const std::function<void(std::string_view)>& line);

// A count in decimal with "," between groups of three digits (1,048,576).
std::string GroupThousands(uint64_t value);

// & < > " ' as character references; every other byte as it is (text
// and attribute values of HTML pages).
std::string HtmlEscape(std::string_view text);

// A file name without its directory part (either slash) and its extension.
std::string BareName(std::string_view name);

}  // namespace netrove
