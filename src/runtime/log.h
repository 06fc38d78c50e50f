// The event log: one time-stamped line per message, on the console and,
// when a log file is configured, appended to it.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace netrove {

// Byte that marks a message to be logged without a time stamp.
inline constexpr char kNoStampMarker = '\x1a';

// Formats and writes one message; returns the line as written (time stamp
// and message), or an empty text for an empty message. Thread-safe: lines
// are never interleaved.
std::string LogMessage(const std::string& message);

// The routine every caller logs through. It is LogMessage unless a
// front-end installed its own.
using LogRoutine = std::function<std::string(const std::string& message)>;
void SetLogProc(LogRoutine routine);  // nullptr restores LogMessage
std::string LogProc(const std::string& message);

// As LogMessage, but only to the log file: for lines the console has just
// shown in another form (the configuration warnings).
void LogToFileOnly(const std::string& message);

// Shorthand for LogProc when the written line is not needed.
inline void Log(const std::string& message) { (void)LogProc(message); }

// The log file ("" = none). Relative names resolve against the working
// directory, which is the program directory.
void SetLogFileName(const std::string& name);
std::string LogFileName();

// True while a line is being written; the status line is not drawn then.
bool LogBusy();

// The text of a message as it is shown: CR and LF removed, every other byte
// below 32 and 127 written as "\x" and two hex digits.
std::string SanitizeLogText(const std::string& message);

// "dd/mm hh:mm" + space + byte 254 + space, for a local time.
std::string LogTimeStamp(int64_t local_seconds);

}  // namespace netrove
