// The "Halt service" task: every 5 seconds it looks at the break time,
// BREAKFLAG, SLEEPFLAG and the EXECUTEFLAG pairs of the current
// configuration and acts on the session through HangUpNow, ControlRequest
// and AbortProgramNow (events.h).
//
// Thread-safe; one task at a time (starting again replaces the old one).
#pragma once

#include <cstdint>

namespace netrove {

inline constexpr int kHaltServicePeriodMs = 5000;

void StartHaltService();
// Stops the task and waits for it to end. Safe when none runs.
void StopHaltService();
bool HaltServiceRunning();

// One look at the flag files (steps 3 to 5 of a round): a break flag is
// deleted and breaks the session; a sleep flag hangs up; each EXECUTEFLAG
// file present is deleted and its command run once. Exposed for tests.
void CheckFlagFiles();

// The break step: hang up, ControlRequest 1, wait a second (cut short when
// the calling task is stopped), ControlRequest 1, AbortProgram.
void BreakSession();

}  // namespace netrove
