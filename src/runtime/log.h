// The event log: one time-stamped line per message, on the console and,
// when a log file is configured, appended to it.
//
// Thread safety: every member may be called from any task; lines are
// never interleaved.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/console.h"
#include "runtime/env.h"

namespace netrove {

// Byte that marks a message to be logged without a time stamp.
inline constexpr char kNoStampMarker = '\x1a';

// The routine that writes a message: by default Log::Message; a front-end
// (or a test) may put its own in place.
using LogRoutine = std::function<std::string(const std::string& message)>;

class Log {
 public:
  Log(Env& env, Console& console) : env_(env), console_(console) {}

  // Logs through the current routine.
  void Write(const std::string& message) { (void)Routine(message); }
  // As Write, returning the line as written.
  std::string Routine(const std::string& message);

  // The default routine: formats and writes one message; returns the line
  // as written (time stamp and message), or "" for an empty message.
  std::string Message(const std::string& message);
  // As Message, but only to the log file: for lines the console has just
  // shown in another form (the configuration warnings).
  void ToFileOnly(const std::string& message);

  // nullptr restores Message.
  void SetRoutine(LogRoutine routine);

  // The log file ("" = none). Relative names resolve against the working
  // directory, which is the program directory.
  void SetFileName(const std::string& name);
  std::string FileName() const;

  // True while a line is being written; the status line is not drawn then.
  bool Busy() const { return busy_.load(); }

 private:
  std::string WriteLine(const std::string& message, bool to_console);

  Env& env_;
  Console& console_;
  std::mutex line_mu_;  // serialises whole lines
  std::atomic<bool> busy_{false};
  mutable std::mutex mu_;
  std::string file_name_;                // guarded by mu_
  std::shared_ptr<LogRoutine> routine_;  // guarded by mu_; null = Message
};

// The text of a message as it is shown: CR and LF removed, every other byte
// below 32 and 127 written as "\x" and two hex digits.
std::string SanitizeLogText(const std::string& message);

// "dd/mm hh:mm" + space + byte 254 + space, for a local time.
std::string LogTimeStamp(int64_t local_seconds);

}  // namespace netrove
