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
// The handlers only touch lock-free atomics, the self-pipe and tcsetattr.
#pragma once

namespace netrove {

// Installs the handlers. Idempotent and thread-safe.
void InstallSignalHandlers();

// Number of SIGINT/SIGTERM received so far, and the last one (0 = none).
int StopSignalCount();
int LastStopSignal();

// ControlRequest := 0, as the dial attempt and the countdowns do when they
// begin, except that a stop asked for by SIGINT or SIGTERM stays asked for:
// a signal that lands just before the clear must not be lost.
void ClearControlRequestKeepingSignalStop();

// Read end of the self-pipe (close-on-exec, non-blocking): readable once a
// stop signal arrived. -1 before InstallSignalHandlers or when no pipe
// could be made.
int SignalWakeFd();

// The process exit code used for run-time errors (uncaught exceptions).
inline constexpr int kRuntimeErrorCode = 70;

}  // namespace netrove
