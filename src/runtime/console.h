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

// Starts the terminal layer (raw key input, screen writer). Idempotent;
// does nothing without a console.
void ConsoleStart();
// Flushes pending output and restores the terminal. Idempotent; safe from
// the exit chain and after a crash of a task.
void ConsoleShutdown();

// Plain output on standard output.
void ConsoleWrite(std::string_view text);
void ConsoleWriteLine(std::string_view text);

// One log line: overwrites the status line, scrolls, and redraws nothing.
void ConsoleLogLine(std::string_view line);
// The status line: rewritten in place (carriage return, clear to end).
void ConsoleStatusLine(std::string_view text);
// Ends the status line (moves to a fresh line when the cursor is not at its start).
void ConsoleEndStatusLine();
// True when the cursor is not at the start of a line.
bool ConsoleMidLine();

void ConsoleSetTitle(std::string_view title);
void ConsoleClearScreen();
void ConsoleFlush();
// Flushes, then sleeps `ms` milliseconds.
void ConsoleDelay(int ms);

// HIDE: the program draws nothing on the terminal any more.
void HideConsole();
void ShowConsole();
bool ConsoleHidden();
// Minimise and restore have no meaning on a terminal and do nothing.
void MinimiseConsole();
void RestoreConsole();

// Keys. ReadKey waits for a key press and returns its character (0 for
// keys without one). Escape sequences (arrows, function keys) never read
// as ESC (27); a lone ESC does.
bool KeyPressed();
int ReadKey();
// Reads a line typed by the user (echoed), without its line end.
std::string ReadConsoleLine();

}  // namespace netrove
