// Event rules, program lists, command macros and flag files.
#pragma once

#include <string>
#include <vector>

namespace netrove {

// Fires event `number` (a dial error code minus 600, or 0 for a failed
// link test). Returns true when a RELOAD rule asks for a configuration
// reload (the rule has then replaced the connection name).
bool FireEvent(int number);
// Every connect resets the running counts of all rules.
void ResetEventCounts();

// Runs one command line: a macro ($GETMAIL, $CHECKURL, $CREATEFLAG, ...)
// or a program started without a shell. Logs "Execute " + command.
void RunCommand(const std::string& command);
// Runs every command of a list in order.
void RunProgramList(const std::vector<std::string>& commands);

// The "Halt service" task: break time, BREAKFLAG, SLEEPFLAG and the
// EXECUTEFLAG pairs, every 5 seconds.
void StartHaltService();
void StopHaltService();

// EXECUTEAT: a "Start EXEC service" task per line.
void StartExecuteAt(const std::string& time, const std::string& command);
// Stops every EXECUTEAT task and the "Halt service" task.
void StopActingTasks();

// Flag files (names relative to the program directory).
void CreateFlagFile(const std::string& name);
void DeleteFlagFile(const std::string& name);

}  // namespace netrove
