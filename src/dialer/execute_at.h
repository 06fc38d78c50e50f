// EXECUTEAT: one "Start EXEC service" task per line, running a command at
// a clock time every day (hh:mm) or every N minutes (a number).
//
// The schedule is kept as absolute instants of NowSeconds, so a daily
// command runs once in its minute each day, and a command N minutes apart
// never drifts or runs twice after a late wake-up; every wait is at least
// one second. The tasks re-read the clock at least every half second, so
// clock changes take effect at once.
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace netrove {

// The first instant at which the command runs, for a reading `now`.
uint32_t FirstExecuteAt(const std::string& time_text, uint32_t now);
// The instant after a run that was due at `due` and happened at `now`.
uint32_t NextExecuteAt(const std::string& time_text, uint32_t due, uint32_t now);

// Starts a "Start EXEC service" task for the line. Empty commands are ignored.
void StartExecuteAt(const std::string& time_text, const std::string& command);
// Stops every EXECUTEAT task (and waits for them).
void StopExecuteAtTasks();
int ExecuteAtTaskCount();

// Stops every EXECUTEAT task and the "Halt service" task.
void StopActingTasks();

}  // namespace netrove
