// The command forms and session steps that the main entry hands over to.
// Each form whose machinery is not built yet says so and ends the program.
#pragma once

#include <string>

namespace netrove {

// WAIT <time>: waits with "Press ESC to abort" and ends the process.
[[noreturn]] void RunWaitForm(const std::string& time_text);
// BREAK <name>: hangs up matching connections and ends the process.
[[noreturn]] void RunBreakForm(const std::string& name);
// ADD [PROXY]: the interactive creation of a connection section.
[[noreturn]] void RunAddForm(const std::string& upper_argument);
// SET / CLEAR: AutoDial registration of the entry.
[[noreturn]] void RunAutoDialRegistration(const std::string& upper_argument,
                                          const std::string& bare_name);
// AUTODIAL: a session started by the AutoDial handler.
void PrepareAutoDial(const std::string& name);

// Description of the local interface address ("" until the network layer knows one).
std::string LocalInterfaceDescription();
// Stops what a previous pass of the configuration load started.
void StopSessionServices();

enum class SessionOutcome { kStop, kReload };
// Steps 14-18: start services, then proxy mode or the dial session.
SessionOutcome RunSession(const std::string& upper_argument, bool start_asleep);
// Step 19 up to (not including) "Exiting....".
void FinishSession();

}  // namespace netrove
