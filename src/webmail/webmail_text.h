// Texts of the web mail: header-safe values, form fields, and the cleaning of the names
// that become files (templates, included files, favourites groups).
//
// Pure functions but for ResolveInside; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/env.h"

namespace netrove {

// `text` without CR, LF and NUL (a value that goes into a header line).
std::string HeaderSafe(std::string_view text);

// The value of a form field: `key` holds its leading "&" and trailing "="
// ("&title="); the text after the first occurrence of the key up to the
// next "&" (or the end), URL-decoded ("+" a blank, "%" with two hex digits
// that byte) and trimmed; "" when the key is absent.
std::string GetFormValue(std::string_view key, std::string_view text);

// The numbers of the "&d<number>=" fields of a form, in their order; a
// field whose number is not decimal 1..65535 is left out.
std::vector<uint32_t> CheckedNumbers(std::string_view form);

// A relative file name made safe: "\" becomes "/", and blanks and dots
// before a "/", doubled "/", ":", "$", "&", leading "/" and control bytes
// are removed, over and over until the text no longer changes; trimmed.
// "" when nothing usable is left or a component is "." or "..". The
// result uses "/" between components and never leaves its directory.
std::string SafeLocalPath(std::string_view text);

// `base`/`relative` when SafeLocalPath keeps `relative` and the file (or
// directory), its symbolic links followed, lies inside `base` (its own
// links followed too); nullopt otherwise (also when the file is missing:
// a name that cannot be resolved is not served).
std::optional<std::string> ResolveInside(Env& env, const std::string& base,
                                         std::string_view relative);

}  // namespace netrove
