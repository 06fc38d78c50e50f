// The program context: everything one run of the program owns, created by
// the main entry and handed down by reference. Construction order is
// dependency order; the exit chain gets the hang-up, the network's stop
// and the console's restoration (and gives them back on destruction).
//
// Process-wide state that stays global lives outside it (the signal
// flags, the saved terminal mode, the exit chain): see docs/architecture.md.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "accounting/accounting.h"
#include "checks/link_checks.h"
#include "config/config.h"
#include "dialer/dial.h"
#include "dialer/events.h"
#include "dialer/modem_statistics.h"
#include "dialer/phonebook_access.h"
#include "driver/session.h"
#include "net/network.h"
#include "runtime/console.h"
#include "runtime/env.h"
#include "runtime/log.h"
#include "runtime/program.h"
#include "runtime/shared_state.h"
#include "runtime/tasks.h"
#include "services/services.h"
#include "update/auto_update.h"

namespace netrove {

// The session as its helpers see it: the abort (once per session) and the
// hang-up.
class Session final : public SessionControl {
 public:
  Session(SessionIo& io, Dialer& dialer, SharedState& shared, Services& services)
      : io_(io), dialer_(dialer), shared_(shared), services_(services) {}
  // A new session may abort again.
  void Begin() { aborted_ = false; }
  void Abort() override;
  void HangUp() override { dialer_.HangUp(); }

 private:
  SessionIo& io_;
  Dialer& dialer_;
  SharedState& shared_;
  Services& services_;
  std::atomic<bool> aborted_{false};
};

class ProgramContext final : public TaskFailures, public ConfigActions, public MacroTasks {
 public:
  ProgramContext(Env& env, ConsoleIo console_io);
  ~ProgramContext() override;
  ProgramContext(const ProgramContext&) = delete;
  ProgramContext& operator=(const ProgramContext&) = delete;

  // TaskFailures: "Error in thread " + name on the console, "Run-time error
  // code 70" in the log, RestartRequested set, stop asked for; a task that
  // cannot start is fatal.
  void RuntimeError(const std::string& name) override;
  [[noreturn]] void CannotStart(const std::string& name) override;
  // ConfigActions: what a configuration load does beyond the record.
  void Reset() override;
  void Published(const ConfigRecord& record) override;
  void ExecuteStart(const std::string& command) override { events.ExecuteCommand(command); }
  void ExecuteAt(const std::string& time, const std::string& command) override {
    events.StartExecuteAt(time, command);
  }
  // MacroTasks: the $CHECKURL, $GETMAIL and $UPDATE macros.
  void StartUrlCheck(const std::string& url) override { checks.StartMacroCheck(url); }
  void StartGetMail() override { services.StartGetMail(); }
  void StartAutoUpdate() override { update.StartAutoUpdate(); }

  // Loads netrove.dat for `connection`; a fatal problem ends the program.
  void LoadConfiguration(const std::string& connection);
  [[noreturn]] void Fatal(const std::string& message) { FatalError(console, message); }

  Env& env;
  SharedState shared;
  Tasks tasks;
  Console console;
  Log log;
  ConfigStore config;
  PhonebookRemoteAccess ras;
  FlagFiles flags;
  ConsoleSessionIo io;
  Accounting accounting;
  Network network;
  LinkChecker checks;
  Services services;
  AutoUpdate update;
  PosixSerialPorts serial_ports;
  ModemStatistics modem;
  Dialer dialer;
  Session session;
  Events events;

 private:
  std::vector<uint64_t> exit_procs_;
};

}  // namespace netrove
