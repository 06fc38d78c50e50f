// AutoDial: the registration of the program's dial-on-demand handler with
// the phonebook entries (SET, CLEAR), the busy marker that keeps a second
// start away while one runs, and the handler itself, which starts the
// terminal front-end with "<name> AUTODIAL" and waits for it.
//
// The busy marker "netrove.<name>.busy" holds the pid of the process that
// owns the start and that pid's start time, as the connection files do; a
// marker whose process is gone (or whose pid now names another process) is
// stale and removed by whoever finds it, so a program killed without its
// exit procedure never blocks AutoDial for ever.
//
// Functions over an Env and a RemoteAccess; thread-safe. Failures are
// results.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "dialer/remote_access.h"
#include "runtime/env.h"

namespace netrove {

// The connection name SET records, in the program directory.
inline constexpr char kAutoDialNameFile[] = "netrove.autodial";
// The handler's connection name, in the library's directory.
inline constexpr char kAutoDialHandlerFile[] = "netrove.auto";
inline constexpr char kAutoDialFunction[] = "AutoDial";
// The front-end the handler starts, beside the library.
inline constexpr char kFrontEndName[] = "netrove";

// "<dir>/netrove.<name>.busy".
std::string BusyMarkerPath(const std::string& dir, const std::string& name);

enum class MarkerState {
  kAbsent,
  kAlive,  // its process runs (or the marker names none: only existence counts then)
  kStale,  // its process was gone: the marker has been removed
};
// Writes the marker for `pid` (atomically, mode 0644). False when the pid
// does not run or the file cannot be written.
[[nodiscard]] bool WriteBusyMarker(Env& env, const std::string& path, pid_t pid);
MarkerState CheckBusyMarker(Env& env, const std::string& path);

// The phonebook text with the AutoDial fields of `entry` set (a line
// rewritten in place or added at the end of the section) or, for empty
// values, removed; every other line stays. Nullopt when the entry is not
// there.
std::optional<std::string> SetAutoDialFields(std::string_view phonebook_text,
                                             std::string_view entry, const std::string& library,
                                             const std::string& function);
// The same on the file (mode kept): 0, kErrorCannotFindEntry, or -1 when
// the file cannot be read or written.
int WriteAutoDialFields(Env& env, const std::string& phonebook_path, const std::string& entry,
                        const std::string& library, const std::string& function);

// The path of the file (shared library or executable) this code lies in;
// "" when unknown.
std::string OwnLibraryPath();

struct AutoDialOptions {
  std::string state_dir;  // the program directory: the handler name file and the marker
  std::string front_end;  // the front-end to start
  int poll_ms = 3000;     // marker checks while the started program runs
};

// The front-end for a library in `library_dir`: beside it (the build
// tree), else in the bin directory of an installation that keeps the
// library in lib/netrove.
std::string FrontEndFor(Env& env, const std::string& library_dir);

// The handler: returns at once when a connection is up or a start is
// under way; otherwise creates the marker, starts "<front_end>
// <name> AUTODIAL" (no shell, detached) and waits until the marker is gone
// or stale. False only when the front-end could not be started (the marker
// is removed again).
bool RunAutoDialHandler(Env& env, RemoteAccess& ras, const AutoDialOptions& options,
                        std::string name);

}  // namespace netrove
