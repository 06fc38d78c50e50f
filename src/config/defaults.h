// The default content of netrove.dat and the creation of a new file.
// Thread-safe; failures are results.
#pragma once

#include <string>

#include "runtime/env.h"

namespace netrove {

// Number of lines of the default template.
inline constexpr int kDefaultTemplateLines = 107;

// Appends the default template to `out`: each line ends with LF; the lines
// marked as settings get `prefix` in front; with `with_comments` off every
// line that then starts with ";" is left out. After the template come an
// empty line, ";" followed by 62 "-", and one more empty line.
void WriteDefaultContent(std::string& out, const std::string& prefix, bool with_comments);

// The full text of a brand-new netrove.dat: "; this default value",
// "eventID 91 3 exit", for ADD also "eventID 630 3 exit", then the template
// with comments and no prefix.
std::string DefaultFileText(bool for_add);

// Creates netrove.dat at `path` with DefaultFileText, mode 0600 (it will
// hold passwords). An existing file is never replaced: returns true when
// the file exists afterwards, false when it could not be created (nothing
// half-written is left behind).
[[nodiscard]] bool CreateDefaultConfigFileAt(Env& env, const std::string& path, bool for_add);

}  // namespace netrove
