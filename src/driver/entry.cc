#include "driver/entry.h"

#include "accounting/clock.h"
#include "accounting/statistics.h"
#include "config/config.h"
#include "dialer/entries.h"
#include "dialer/events.h"
#include "driver/forms.h"
#include "driver/session_wiring.h"
#include "net/port_server.h"
#include "net/socket.h"
#include "runtime/console.h"
#include "runtime/log.h"
#include "runtime/program.h"
#include "runtime/shared_state.h"
#include "runtime/signals.h"
#include "runtime/tasks.h"
#include "runtime/text.h"

namespace netrove {

const char* const kUsageLines[7] = {
    "usage: Netrove <connection> [HIDE]",
    "       Netrove ADD [PROXY]",
    "       Netrove <connection> STAT",
    "       Netrove <connection> SET/CLEAR",
    "       Netrove <connection> PROXY",
    "       Netrove WAIT <time>",
    "       Netrove BREAK <connection_real_name>",
};

namespace {

void WriteUsage() {
  for (const char* line : kUsageLines) ConsoleWriteLine(line);
}

[[noreturn]] void PrintUsage() {
  WriteUsage();
  HaltProgram(0);
}

// A first word beginning with "-" is an option, never a connection name:
// "--help" and "-h" print the usage, "--version" the version; any other
// is an error (exit code 99), so that a mistyped option in a script or a
// service file never starts a session.
[[noreturn]] void RunOption(const std::string& word) {
  if (word == "--help" || word == "-h") PrintUsage();
  if (word == "--version") {
    ConsoleWriteLine(std::string("Netrove ") + NETROVE_VERSION);
    HaltProgram(0);
  }
  WriteUsage();
  FatalError("Unknown option " + word);
}

// The warnings of the last load, on the console (also without one or under
// HIDE) and in the log file; control bytes written as \xNN, as in the log.
void PrintConfigWarnings() {
  std::vector<std::string> warnings = ConfigWarnings();
  if (warnings.empty()) return;
  ConsoleWriteLine("WARNING! Found errors in netrove.dat");
  for (const std::string& w : warnings) {
    ConsoleWriteLine(SanitizeLogText(w));
    LogToFileOnly(w);
  }
  ConsoleWriteLine("");
}

}  // namespace

// An exception that nobody caught is the front-end thread's run-time error.
void MainEntry(std::string connection, std::string argument, uint16_t interface_number,
               bool start_asleep) try {
  SharedState& shared = Shared();
  KeepStandardDescriptorsOpen();  // before any file or socket is opened
  RaiseDescriptorLimit();
  ConsoleStart();
  StartTaskReaper();
  StartNetwork();
  WireProgramParts();

  // 1. Fresh state.
  shared.restart_requested = false;
  shared.local_address_text.Set(LocalInterfaceDescription());
  shared.link_mode = kLinkIdle;
  shared.control_request = kRequestNone;
  connection = connection.substr(0, 255);
  argument = argument.substr(0, 255);
  shared.connection_arg.Set(connection);
  ConsoleSetTitle("Netrove");

  // 2. Usage.
  if (interface_number != kInterfaceNumber) connection.clear();
  if (connection.empty()) PrintUsage();
  if (connection[0] == '-') RunOption(connection);

  std::string word = UpperAscii(connection);
  std::string arg = UpperAscii(argument);

  // 3. HIDE only means something on a console.
  shared.hide_mode = arg == "HIDE" && ConsolePresent();

  // 4. WAIT <time>.
  if (word == "WAIT" && !arg.empty()) RunWaitForm(argument);
  // 5. Session started by the AutoDial handler.
  if (arg == "AUTODIAL") PrepareAutoDial(connection);
  // 6. BREAK <name>.
  if (word == "BREAK" && !arg.empty()) RunBreakForm(argument);
  // 7. ADD [PROXY].
  if (word == "ADD") {
    ConsoleSetTitle("Add new connection");
    RunAddForm(arg);
  }
  // 8. The phonebook's spelling of the name.
  shared.connection_arg.Set(ResolveEntryName(connection));
  // 9. SET / CLEAR.
  if (arg == "SET" || arg == "CLEAR")
    RunAutoDialRegistration(arg, BareName(shared.connection_arg.Get()));
  // 10.
  if (shared.hide_mode) HideConsole();

  bool asleep = start_asleep;
  for (;;) {
    // 11. Configuration load (also the target of every reload).
    std::string local = LocalInterfaceDescription();
    shared.local_address_text.Set(local);
    shared.saved_local_address_text.Set(local);
    shared.link_mode = kLinkIdle;
    StopSessionServices();
    shared.connection_arg.Set(ResolveEntryName(shared.connection_arg.Get()));
    LoadConfiguration(shared.connection_arg.Get());
    (void)WarnIfConfigWritable();
    (void)WarnIfPasswordsReadable();
    PrintConfigWarnings();

    // 12. A proxy-only section.
    if (CurrentConfig()->user == kProxyUserName) arg = "PROXY";
    // 13. STAT.
    if (arg == "STAT") PrintStatistics("");

    // 14-18. Services and the session.
    SessionOutcome outcome = RunSession(arg, asleep);
    asleep = false;  // honoured once per call
    if (outcome == SessionOutcome::kReload) continue;
    break;
  }

  // 19. Stop.
  FinishSession();
  ConsoleWriteLine("Exiting....");
  StopAllTasks(2000);
  ConsoleShutdown();
} catch (...) {
  ReportRuntimeError("main", kRuntimeErrorCode);
  HaltProgram(kRuntimeErrorCode);
}

}  // namespace netrove
