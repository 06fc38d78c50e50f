// The session's calls into the rest of the program, and the stand-ins for
// the parts that do not exist yet. Each stand-in is a named function so
// that wiring the real part replaces exactly one name.
#pragma once

#include <cstdint>
#include <string>

#include "dialer/session_hooks.h"

namespace netrove {

// The table the session runs with.
SessionHooks WiredSessionHooks();
// Wires the event rules, the configuration's acting keywords, AbortProgram
// and HangUp to each other. Called once at start.
void WireProgramParts();

// All gateway services (services_hook.cc).
void StartServices();
void StopServices();

// The URL check of CHECKURL: the first test of a fresh link announces the
// local address; the test on demand (key T, request 4) does not.
bool FirstLinkTest();
bool LinkTestNow();
// Modem statistics (none), automatic update tick (nothing).
std::string ReadModemStatistics(const std::string& command);
void AutoUpdateTick();
// Average receive rate of the link in bytes per second, its reset, and the
// failed-connection cache.
uint32_t AverageReceiveRate();
void ZeroTrafficCounters();
void EmptyFailedConnectCache();

}  // namespace netrove
