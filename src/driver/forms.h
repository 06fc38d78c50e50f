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
// SET <connection>: writes netrove.autodial and registers the library's
// AutoDial function with every phonebook entry. CLEAR removes both.
[[noreturn]] void RunSetForm(ProgramContext& p, const std::string& connection);
[[noreturn]] void RunClearForm(ProgramContext& p, const std::string& connection);

// The AUTODIAL argument: a start by the AutoDial handler, whose busy
// marker this process takes over and removes when it ends (also through
// the exit chain). While active the session never redials.
class AutoDialMode {
 public:
  explicit AutoDialMode(Env& env) : env_(env) {}
  ~AutoDialMode();
  AutoDialMode(const AutoDialMode&) = delete;
  AutoDialMode& operator=(const AutoDialMode&) = delete;
  // Removes netrove.autodial; unless active, becomes active when the busy
  // marker of `name` exists in the program directory.
  void Prepare(const std::string& name);
  bool active() const { return !marker_.empty(); }

 private:
  Env& env_;
  std::string marker_;
  uint64_t exit_proc_ = 0;
};

}  // namespace netrove
