// The console: the terminal the program was started on, with a status line
// kept at the bottom and log lines scrolling above it.
//
// Plain text output (Write, WriteLine) always reaches the output, so the
// usage text and fatal errors are seen even when output is redirected.
// Without a console, once LogToOutput was called (a session, not a
// one-shot form whose output is its answer), log lines are written to the
// output as plain lines: a service's journal gets them. Everything else
// (the status line, titles, keys) is active only when a console is present
// and the program is not hidden.
//
// Thread safety: every member may be called from any task.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/tasks.h"

namespace netrove {

// Where a console reads keys and writes. A console is present when both
// are terminals, unless `present` says otherwise (tests: pipes).
struct ConsoleIo {
  int in_fd = 0;
  int out_fd = 1;
  std::optional<bool> present;
};

class Console {
 public:
  Console(Tasks& tasks, ConsoleIo io = ConsoleIo());
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  bool Present() const { return present_; }

  // With a console: puts the terminal into raw mode and starts the "CRT"
  // task that writes pending output at most twice a second. Idempotent.
  void Start();
  // Flushes pending output and restores the terminal. Idempotent; safe
  // from the exit chain and after a crash of a task.
  void Shutdown();

  // Plain output, written at once and in order with all other output; also
  // when hidden, and also when the output is not a terminal (then the
  // bytes are written as given).
  void Write(std::string_view text);
  void WriteLine(std::string_view text);

  // One log line: overwrites the status line, scrolls; the status line is
  // drawn again below it. Without a console it is written at once with a
  // line end (the time stamp's mark as UTF-8) after LogToOutput, and
  // dropped before. Log lines, the status line, the title and
  // clearing are drawn only with a console that is not hidden, are made
  // safe for the terminal and cut to its width (terminal_screen.h), and
  // reach it at the next flush (the "CRT" task's, or an explicit one).
  void LogLine(std::string_view line);
  // The status line: rewritten in place (carriage return, text, clear to end).
  void StatusLine(std::string_view text);
  // Ends the status line (moves to a fresh line when the cursor is not at its start).
  void EndStatusLine();
  void SetTitle(std::string_view title);
  void ClearScreen();
  // Writes pending output now.
  void Flush();

  // HIDE: log lines, the status line and titles are no longer drawn (the
  // log file still gets every line); plain writes still appear.
  void Hide();
  // Without a console: log lines go to the output from now on.
  void LogToOutput();

  // Keys (decoding in terminal_keys.h). Without a console (or before
  // Start) KeyPressed is false and ReadKey returns 0 at once. KeyPressed
  // does not block, except that a lone ESC is waited for up to 50 ms to
  // tell it from an escape sequence. ReadKey flushes the output, then waits
  // for a key and returns its character (0 for keys without one, and for
  // Alt + key); escape sequences never read as ESC (27), a lone ESC does.
  // ReadKey returns 0 when the calling task is asked to stop or the input
  // is gone.
  bool KeyPressed();
  int ReadKey();
  // Reads a line typed by the user, echoing it (Backspace edits, Enter
  // ends; at most 255 bytes are kept), without its line end; `initial`
  // stands already typed. Returns what was typed so far when a stop signal
  // arrives or the input ends. Without a console it reads a line of the
  // input (and `initial` is not shown).
  std::string ReadLine(std::string_view initial = {});

  struct State;

 private:
  Tasks& tasks_;
  const ConsoleIo io_;
  const bool present_;
  std::unique_ptr<State> state_;
};

}  // namespace netrove
