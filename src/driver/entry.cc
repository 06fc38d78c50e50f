#include "driver/entry.h"

#include "config/file_checks.h"
#include "dialer/entries.h"
#include "driver/forms.h"
#include "driver/front_end.h"
#include "driver/program_context.h"
#include "net/socket.h"
#include "runtime/env_posix.h"
#include "runtime/program.h"
#include "runtime/signals.h"
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

void WriteUsage(Console& console) {
  for (const char* line : kUsageLines) console.WriteLine(line);
}

[[noreturn]] void PrintUsage(Console& console) {
  WriteUsage(console);
  HaltProgram(0);
}

// A first word beginning with "-" is an option, never a connection name:
// "--help" and "-h" print the usage, "--version" the version; any other
// is an error (exit code 99), so that a mistyped option in a script or a
// service file never starts a session.
[[noreturn]] void RunOption(ProgramContext& p, const std::string& word) {
  if (word == "--help" || word == "-h") PrintUsage(p.console);
  if (word == "--version") {
    p.console.WriteLine(std::string("Netrove ") + NETROVE_VERSION);
    HaltProgram(0);
  }
  WriteUsage(p.console);
  p.Fatal("Unknown option " + word);
}

// The warnings of the last load, on the console (also without one or under
// HIDE) and in the log file; control bytes written as \xNN, as in the log.
void PrintConfigWarnings(ProgramContext& p) {
  std::vector<std::string> warnings = p.config.Warnings();
  if (warnings.empty()) return;
  p.console.WriteLine("WARNING! Found errors in netrove.dat");
  for (const std::string& w : warnings) {
    p.console.WriteLine(SanitizeLogText(w));
    p.log.ToFileOnly(w);
  }
  p.console.WriteLine("");
}

// Starts the services and runs proxy mode or the dial session.
SessionOutcome RunSession(ProgramContext& p, const std::string& upper_argument, bool start_asleep,
                          AutoDialMode& autodial) {
  p.log.Write("Starting services");
  p.accounting.StartCall(NowSeconds(p.env));
  p.events.StartHaltService();
  p.services.Start();
  if (upper_argument == "AUTODIAL" && !autodial.active()) {
    autodial.Prepare(p.shared.connection_arg.Get());
    if (autodial.active()) p.config.Update([](ConfigRecord& r) { r.redial = false; });
  }
  p.dialer.PrepareForSession();
  p.session.Begin();
  SessionController controller({p.io, p.dialer, p.config, p.shared, p.flags, p.accounting, p.checks,
                                p.events, p.network, p.session, p.modem, p.update});
  if (upper_argument == "PROXY") return controller.RunProxyMode();
  return controller.RunDialSession(start_asleep);
}

// The end of a session, up to "Exiting....".
void FinishSession(ProgramContext& p) {
  p.log.Write("Stop services");
  p.dialer.HangUp();
  p.services.Stop();
  p.shared.control_request = kRequestNone;
  p.shared.status_text.Set("Aborted...");
  p.dialer.HangUp();
}

bool Run(ProgramContext& p, std::string connection, std::string argument, uint16_t interface_number,
         bool start_asleep, FrontEnd* front_end) {
  FrontEndAttachment attachment(front_end, p);
  AutoDialMode autodial(p.env);
  SharedState& shared = p.shared;
  InstallSignalHandlers(shared.control_request, shared.reload_requested);
  p.console.Start();
  p.tasks.StartReaper();
  p.network.Start();

  shared.restart_requested = false;
  shared.local_address_text.Set(p.network.LocalInterfaceDescription());
  shared.link_mode = kLinkIdle;
  shared.control_request = kRequestNone;
  connection = connection.substr(0, 255);
  argument = argument.substr(0, 255);
  shared.connection_arg.Set(connection);
  p.console.SetTitle("Netrove");

  // The command forms.
  if (interface_number != kInterfaceNumber) connection.clear();
  if (connection.empty()) PrintUsage(p.console);
  if (connection[0] == '-') RunOption(p, connection);
  std::string word = UpperAscii(connection);
  std::string arg = UpperAscii(argument);
  // HIDE only means something on a console.
  shared.hide_mode = arg == "HIDE" && p.console.Present();
  if (word == "WAIT" && !arg.empty()) RunWaitForm(p, argument);
  if (arg == "AUTODIAL") autodial.Prepare(connection);
  if (word == "BREAK" && !arg.empty()) RunBreakForm(p, argument);
  if (word == "ADD") {
    p.console.SetTitle("Add new connection");
    RunAddForm(p, arg);
  }
  // The phonebook's spelling of the name.
  shared.connection_arg.Set(ResolveEntryName(p.ras, connection));
  if (arg == "SET") RunSetForm(p, shared.connection_arg.Get());
  if (arg == "CLEAR") RunClearForm(p, shared.connection_arg.Get());
  if (shared.hide_mode) p.console.Hide();
  // A session without a console (a service): its log lines on the output.
  if (arg != "STAT") p.console.LogToOutput();

  bool asleep = start_asleep;
  for (;;) {
    // The configuration load, also the target of every reload.
    std::string local = p.network.LocalInterfaceDescription();
    shared.local_address_text.Set(local);
    shared.saved_local_address_text.Set(local);
    shared.link_mode = kLinkIdle;
    p.events.StopHaltService();
    p.services.Stop();
    shared.connection_arg.Set(ResolveEntryName(p.ras, shared.connection_arg.Get()));
    if (!EnterProgramDirectory()) p.log.Write("Can't enter " + ProgramDirectory());
    p.LoadConfiguration(shared.connection_arg.Get());
    // Started by AutoDial: one call, never a redial, whatever the file says.
    if (autodial.active()) p.config.Update([](ConfigRecord& r) { r.redial = false; });
    (void)WarnIfConfigWritable(p.env, p.log);
    (void)WarnIfPasswordsReadable(p.env, p.log, p.ras.phonebook_path());
    PrintConfigWarnings(p);

    // A proxy-only section, and STAT.
    if (p.config.Current()->user == kProxyUserName) arg = "PROXY";
    if (arg == "STAT") p.accounting.PrintReport("");

    SessionOutcome outcome = RunSession(p, arg, asleep, autodial);
    asleep = false;  // honoured once per call
    if (outcome == SessionOutcome::kReload) {
      // A request that comes while the file is read asks for one more.
      if (shared.reload_requested.exchange(false)) p.log.Write("Reloading netrove.dat");
      continue;
    }
    break;
  }

  FinishSession(p);
  p.console.WriteLine("Exiting....");
  p.tasks.StopAll(2000);
  p.console.Shutdown();
  return shared.restart_requested.load();
}

}  // namespace

// An exception that nobody caught is the front-end thread's run-time error.
bool MainEntry(std::string connection, std::string argument, uint16_t interface_number,
               bool start_asleep, FrontEnd* front_end) {
  KeepStandardDescriptorsOpen();  // before any file or socket is opened
  RaiseDescriptorLimit();
  PosixEnv env;
  ProgramContext p(env, ConsoleIo());
  try {
    return Run(p, std::move(connection), std::move(argument), interface_number, start_asleep,
               front_end);
  } catch (...) {
    p.RuntimeError("main");
    HaltProgram(kRuntimeErrorCode);
  }
}

}  // namespace netrove
