// The terminal itself: raw key input and its restoration, the width, and
// whether it shows UTF-8.
//
// Raw mode turns off line editing and echo (keys arrive one by one and are
// not shown), CR-to-LF input mapping and XON/XOFF flow control; it keeps
// output processing (so "\n" still starts a new line) and signal keys
// (Ctrl-C still sends SIGINT). The saved settings live in storage that a
// signal handler may read: RestoreTerminalFromSignal uses only tcsetattr
// and is async-signal-safe. Restoring is idempotent.
#pragma once

namespace netrove {

// Puts the terminal on `fd` into raw mode and remembers its settings.
// Returns false (and changes nothing) when `fd` is not a terminal.
// Only one terminal is handled at a time; a second call is ignored.
bool EnterRawMode(int fd);
// Puts back the remembered settings. Thread-safe; false when there was
// nothing to restore.
bool RestoreTerminal();
// As RestoreTerminal, for signal handlers (async-signal-safe).
void RestoreTerminalFromSignal();
// True between EnterRawMode and RestoreTerminal.
bool TerminalRaw();

// Job control (async-signal-safe and thread-safe). Suspend puts the
// remembered settings back but keeps the raw ones for Resume, which applies
// them again when the process group is the terminal's foreground (or the
// terminal has none, so there is no job control); in the background it
// does nothing, and a later call (SIGCONT, or the console looking for keys
// after a shell's `fg` of a job that ran in the background) tries again.
// Both do nothing unless the terminal is raw, or suspended.
void SuspendTerminalFromSignal();
void ResumeTerminalIfForeground();
// True while a terminal is raw or suspended: the program has a console.
bool TerminalInUse();

// Columns of the terminal on `fd`; 80 when it cannot tell.
int TerminalWidth(int fd);
// True when the locale (LC_ALL, LC_CTYPE or LANG, first set wins) names
// UTF-8.
bool LocaleIsUtf8();

}  // namespace netrove
