// Event rules, program lists, command macros and flag files.
//
// Services that other parts of the program provide (mail fetch, link
// check, update, abort, hang-up) are lent here with the Set... functions;
// until one is lent the macro that needs it logs that it is not running.
// The "Halt service" and EXECUTEAT tasks are declared in the two headers
// included below.
//
// Thread-safe: the running counts of the EVENTID rules live in a locked
// table of this module; actions run outside every lock. Failures are
// results: a program or flag file that cannot be handled is skipped.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "config/config.h"
#include "dialer/execute_at.h"
#include "dialer/halt_service.h"

namespace netrove {

// Fires event `number` (a dial error code minus 600, or 0 for a failed
// link test). Returns true when a RELOAD rule asks for a configuration
// reload (the rule has then replaced the connection name).
bool FireEvent(int number);
// Every connect resets the running counts of all rules.
void ResetEventCounts();

// Runs one command line, without logging it: a macro ($GETMAIL, $CHECKURL,
// $CREATEFLAG, $DELETEFLAG, $UPDATE, $BREAK, $RESTART) or a program
// started without a shell (programs.h).
void RunCommand(const std::string& command);
// Logs "Execute " + command, then runs it.
void ExecuteCommand(const std::string& command);
// Runs every command of a list in order.
void RunProgramList(const std::vector<std::string>& commands);

// Flag files (names relative to the program directory). Empty names do
// nothing; DeleteFlagFile is true when the file is gone afterwards.
void CreateFlagFile(const std::string& name);
bool DeleteFlagFile(const std::string& name);

// Routines lent by other parts (nullptr withdraws them).
void SetGetMailService(std::function<void()> start_get_mail);
void SetCheckUrlService(std::function<void(const std::string&)> check_url);
void SetUpdateService(std::function<void()> run_update_check);
void SetAbortProgram(std::function<void()> abort_program);
void SetHangUp(std::function<void()> hang_up);

// AbortProgram through the lent routine (without one: logs "Aborted!" and
// sets ControlRequest to 1).
void AbortProgramNow();
// HangUp through the lent routine (without one: asks an on-line session
// to hang up and sleep).
void HangUpNow();

// The acting keywords of the configuration load, wired to this module:
// EXECUTESTART, EXECUTEAT, the reset (StopActingTasks, fresh event counts)
// and the tariffs. session_reset is left empty for the caller to fill.
ConfigHooks EventHooks();
void InstallEventHooks();

// Logs a warning when netrove.dat or its directory can be written by
// other users (the file starts programs). True when it warned.
bool WarnIfConfigWritable();
// Logs a warning for netrove.dat and for the phonebook when the file holds
// a password and group or others may read it. True when it warned.
bool WarnIfPasswordsReadable();

}  // namespace netrove
