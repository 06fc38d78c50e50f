// The console: the terminal the program was started on, with a status line
// kept at the bottom and log lines scrolling above it.
//
// Plain text output (WriteLine, Write) always reaches standard output, so
// the usage text and fatal errors are seen even when output is redirected.
// Everything else (log lines, the status line, titles, keys) is active only
// when a console is present and the program is not hidden.
#pragma once

#include <string>
#include <string_view>

namespace netrove {

// True when standard input and standard output are terminals (or a test
// forced a value with SetConsolePresentForTesting).
bool ConsolePresent();
void SetConsolePresentForTesting(bool present);

// Starts the terminal layer: installs the signal handlers (signals.h,
// always), and with a console puts the terminal into raw mode and starts
// the "CRT" task that writes pending output at most twice a second.
// Idempotent.
void ConsoleStart();
// Flushes pending output and restores the terminal. Idempotent; safe from
// the exit chain and after a crash of a task.
void ConsoleShutdown();

// Plain output on standard output, written at once and in order with all
// other console output; also when hidden, and also when standard output is
// not a terminal (then the bytes are written as given).
void ConsoleWrite(std::string_view text);
void ConsoleWriteLine(std::string_view text);

// One log line: overwrites the status line, scrolls; the status line is
// drawn again below it. Log lines, the status line, the title and clearing
// are drawn only with a console that is not hidden, are made safe for the
// terminal and cut to its width (terminal_screen.h), and reach the terminal
// at the next flush (the "CRT" task's, or an explicit one).
void ConsoleLogLine(std::string_view line);
// The status line: rewritten in place (carriage return, text, clear to end).
void ConsoleStatusLine(std::string_view text);
// Ends the status line (moves to a fresh line when the cursor is not at its start).
void ConsoleEndStatusLine();
// True when the cursor is not at the start of a line.
bool ConsoleMidLine();

void ConsoleSetTitle(std::string_view title);
void ConsoleClearScreen();
// Writes pending output now.
void ConsoleFlush();
// Flushes, then sleeps `ms` milliseconds (TaskSleep: a stopped task wakes).
void ConsoleDelay(int ms);

// HIDE: log lines, the status line and titles are no longer drawn (the log
// file still gets every line); plain writes still appear.
void HideConsole();
void ShowConsole();
bool ConsoleHidden();
// Minimise and restore have no meaning on a terminal and do nothing.
void MinimiseConsole();
void RestoreConsole();

// Keys (decoding in terminal_keys.h). Without a console (or before
// ConsoleStart) KeyPressed is false and ReadKey returns 0 at once.
// KeyPressed does not block, except that a lone ESC is waited for up to
// 50 ms to tell it from an escape sequence. ReadKey flushes the output,
// then waits for a key press and returns its character (0 for keys without
// one, and for Alt + key). Escape sequences (arrows, function keys) never
// read as ESC (27); a lone ESC does. ReadKey returns 0 when the calling
// task is asked to stop or the input is gone. Thread-safe.
bool KeyPressed();
int ReadKey();
// Reads a line typed by the user, echoing it (Backspace edits, Enter ends;
// at most 255 bytes are kept), without its line end. Returns what was typed
// so far when a stop signal arrives or the input ends. Without a console it
// reads a line of standard input. On a console `initial` stands already
// typed, to be kept with Enter or edited.
std::string ReadConsoleLine(std::string_view initial = {});

}  // namespace netrove
