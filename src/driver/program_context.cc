#include "driver/program_context.h"

#include "dialer/entries.h"
#include "runtime/program.h"

namespace netrove {

void Session::Abort() {
  // Once per session: a break step and the controller may both abort (the
  // break time reached while the controller waits to redial).
  if (aborted_.exchange(true)) {
    shared_.control_request = kRequestStop;
    return;
  }
  io_.EndStatusLine();
  io_.Log("Aborted!");
  services_.Stop();
  shared_.control_request = kRequestStop;
}

ProgramContext::ProgramContext(Env& env_in, ConsoleIo console_io)
    : env(env_in),
      tasks(env, *this),
      console(tasks, console_io),
      log(env, console),
      ras(env, PhonebookPath(), ConnectionDirectory()),
      flags(env),
      io(env, tasks, console, log),
      accounting(env, log, console, shared),
      network(env, tasks, log, config, shared),
      checks(env, tasks, log, console, config, shared, network),
      services(network, log, console, config),
      update(network),
      modem(env, ras, config, serial_ports),
      dialer(ras, io, config, shared, flags),
      session(io, dialer, shared, services),
      events(env, tasks, log, config, shared, flags, session, *this) {
  // Run in reverse: the hang-up, the network's stop, the console put back.
  exit_procs_.push_back(AddExitProc([this] { console.Shutdown(); }));
  exit_procs_.push_back(AddExitProc([this] { network.Shutdown(); }));
  exit_procs_.push_back(AddExitProc([this] { dialer.ExitHangUp(); }));
}

ProgramContext::~ProgramContext() {
  for (uint64_t number : exit_procs_) RemoveExitProc(number);
  tasks.StopAll(2000);
}

void ProgramContext::RuntimeError(const std::string& name) {
  console.WriteLine("Error in thread " + name);
  shared.restart_requested = true;
  log.Write("Run-time error code " + std::to_string(kRuntimeErrorCode));
  shared.control_request = kRequestStop;
}

void ProgramContext::CannotStart(const std::string& name) {
  FatalError(console, "Can't start task " + name);
}

void ProgramContext::Reset() {
  events.StopActingTasks();
  // Until a session starts, the link stays up at exit.
  dialer.set_keep_link(true);
}

void ProgramContext::Published(const ConfigRecord& record) {
  log.SetFileName(record.log_file);
  accounting.Configure({record.day_time_limit, record.week_time_limit, record.month_time_limit},
                       record.cost, record.cost_per_minute);
  accounting.Load(record.statistics_name);
}

void ProgramContext::LoadConfiguration(const std::string& connection) {
  const ParseEnvironment parse_env = PhonebookParseEnvironment(env, ras, ras.phonebook_path());
  if (std::optional<std::string> error =
          config.Load(env, log, shared, *this, parse_env, connection))
    Fatal(*error);
}

}  // namespace netrove
