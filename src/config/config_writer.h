// Edits of the text of netrove.dat that keep what they do not change: the
// section headers, keyword lines written in place, section removal and
// appending. Pure functions on the text; thread-safe; nothing throws.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace netrove {

// One "Keyword value" line as it is written.
struct ConfigLine {
  std::string keyword;
  std::string value;
  // A list keyword with no entries: its old lines go, nothing is written.
  bool none = false;
};

// Lines that start with "[" and contain "]" anywhere after it.
size_t CountSectionHeaders(std::string_view text);
// The names of those headers (the text between "[" and the first "]"),
// in file order, at most `limit`.
std::vector<std::string> SectionNames(std::string_view text, size_t limit);
// True when a header names the section (names compared upper-cased).
bool HasSection(std::string_view text, std::string_view name);

// Writes `lines` into one part of the file: the global part (`section`
// empty: up to the first header) or the named section. A keyword line of
// the part whose keyword `lines` carries is replaced in place by the next
// line of that keyword; surplus old lines of such a keyword go, surplus
// new ones follow its last old line, and keywords the part did not have
// are added at its end (an empty value only when the keyword was there).
// Every other line, comments and blank lines included, stays as it was.
// Nullopt when the section is not in the text.
std::optional<std::string> RewriteConfigPart(std::string_view text, std::string_view section,
                                             const std::vector<ConfigLine>& lines);
// The text without the section (header to the next header). Nullopt when
// it is not there. `removed` gets the number of lines taken out.
std::optional<std::string> RemoveConfigSection(std::string_view text, std::string_view section,
                                               size_t* removed = nullptr);
// The text with "[" section "]" and `lines` appended after an empty line.
std::string AppendConfigSection(std::string_view text, std::string_view section,
                                const std::vector<ConfigLine>& lines);

}  // namespace netrove
