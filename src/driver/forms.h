// The one-shot command forms: each ends the process.
#pragma once

#include <string>

#include "driver/program_context.h"

namespace netrove {

// WAIT <time>: waits with "Press ESC to abort" (on a console) until a
// clock time or for a number of minutes.
[[noreturn]] void RunWaitForm(ProgramContext& p, const std::string& time_text);
// BREAK <name>: hangs up matching connections of any process.
[[noreturn]] void RunBreakForm(ProgramContext& p, const std::string& name);
// ADD [PROXY]: the console dialogue that adds a connection section.
[[noreturn]] void RunAddForm(ProgramContext& p, const std::string& upper_argument);
// Appends `section` to netrove.dat at `path` by writing the whole file anew
// (mode 0600: it holds a password now); false, the file unchanged, when
// that fails.
[[nodiscard]] bool AddSectionToConfig(Env& env, const std::string& path,
                                      const std::string& section);
// SET, CLEAR and AUTODIAL (AutoDial registration) are not built yet.
[[noreturn]] void RunNotAvailable(ProgramContext& p, const std::string& form);

}  // namespace netrove
