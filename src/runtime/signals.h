// Orderly stop on SIGINT and SIGTERM, and the terminal put back on the way
// out of a crash.
//
//   - The first SIGINT or SIGTERM asks the session controller to stop
//     (ControlRequest := 1) and makes SignalWakeFd readable.
//   - A second one puts the terminal back and ends the process at once
//     with exit code 128 + signal number (130, 143).
//   - SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT put the terminal back and
//     then take their default action (unless a sanitizer already handles
//     them).
//   - std::terminate (an exception nobody caught, outside any task) writes
//     "Error in thread " + the current task name, puts the terminal back
//     and aborts.
//   - SIGUSR1 is another process of this program asking this one to hang
//     up its connections (BREAK); TakeBreakSignal reports it once.
//   - SIGHUP without a console (a service) asks for a configuration reload
//     (`reload_request` := true). With a console it means the terminal
//     hung up, and counts as a stop signal. Ignored at start (nohup), it
//     stays ignored.
//   - SIGPIPE is ignored: a write to a closed pipe fails instead.
//   - SIGTSTP (Ctrl-Z) puts the terminal back before the process stops;
//     SIGCONT puts it into raw mode again once the process is in the
//     terminal's foreground (terminal.h).
// The handlers only touch lock-free atomics, the self-pipe and tcsetattr.
// The signal state is process-wide by nature: one set of handlers.
#pragma once

#include <atomic>
#include <cstdint>

namespace netrove {

// Installs the handlers (once per process; thread-safe). A stop signal
// stores kRequestStop into `control_request`, a reload signal true into
// `reload_request`; a later call only changes which variables those are.
void InstallSignalHandlers(std::atomic<uint8_t>& control_request,
                           std::atomic<bool>& reload_request);

// Number of SIGINT/SIGTERM received so far, and the last one (0 = none).
int StopSignalCount();
int LastStopSignal();

// True once for each SIGUSR1 received since the last call.
bool TakeBreakSignal();

// Read end of the self-pipe (close-on-exec, non-blocking): readable once a
// stop signal arrived. -1 before InstallSignalHandlers or when no pipe
// could be made.
int SignalWakeFd();

}  // namespace netrove
