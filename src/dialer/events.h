// Event rules, program lists, command macros, flag files and the tasks
// that act on them: the "Halt service" (break time, BREAKFLAG, SLEEPFLAG,
// EXECUTEFLAG) and one "Start EXEC service" per EXECUTEAT line.
//
// Thread-safe: the running counts of the EVENTID rules are kept under a
// lock; actions run outside every lock. Failures are results: a program or
// flag file that cannot be handled is skipped.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "config/config.h"
#include "dialer/flag_files.h"
#include "dialer/programs.h"
#include "dialer/session_control.h"
#include "runtime/log.h"
#include "runtime/shared_state.h"
#include "runtime/tasks.h"

namespace netrove {

inline constexpr int kHaltServicePeriodMs = 5000;

// What the session controller asks of the event rules and program lists.
class EventRules {
 public:
  virtual ~EventRules() = default;
  // Fires event `number` (a dial error code minus 600, or 0 for a failed
  // link test). True when a RELOAD rule asks for a configuration reload
  // (the rule has then replaced the connection name).
  virtual bool Fire(int number) = 0;
  // Every connect starts the running counts of all rules again.
  virtual void ResetCounts() = 0;
  // Logs "Execute " + command and runs it, for each command in order.
  virtual void RunProgramList(const std::vector<std::string>& commands) = 0;
};

// The tasks of the $CHECKURL and $GETMAIL macros, supplied by the program.
class MacroTasks {
 public:
  virtual ~MacroTasks() = default;
  virtual void StartUrlCheck(const std::string& url) = 0;
  // One mail fetch pass, as the task "Get POP3 mail".
  virtual void StartGetMail() = 0;
  // The automatic update's check ($UPDATE).
  virtual void StartAutoUpdate() = 0;
};

class Events final : public EventRules {
 public:
  Events(Env& env, Tasks& tasks, Log& log, ConfigStore& config, SharedState& shared,
         FlagFiles& flags, SessionControl& session, MacroTasks& macro_tasks);
  ~Events() override;
  Events(const Events&) = delete;
  Events& operator=(const Events&) = delete;

  bool Fire(int number) override;
  void ResetCounts() override;
  void RunProgramList(const std::vector<std::string>& commands) override;

  // Runs one command line, without logging it: a macro ($GETMAIL,
  // $CHECKURL, $CREATEFLAG, $DELETEFLAG, $UPDATE, $BREAK, $RESTART) or a
  // program started without a shell (programs.h).
  void RunCommand(const std::string& command);
  // Logs "Execute " + command, then runs it.
  void ExecuteCommand(const std::string& command);

  // The "Halt service": every 5 seconds the break time and the flag files.
  // Starting again replaces the task; stopping waits for it.
  void StartHaltService();
  void StopHaltService();
  bool HaltServiceRunning();
  // One look at the flag files: a break flag is deleted and breaks the
  // session; a sleep flag hangs up; each EXECUTEFLAG file present is
  // deleted and its command run once.
  void CheckFlagFiles();
  // The break step: hang up, ControlRequest 1, wait a second (cut short
  // when the calling task is stopped), ControlRequest 1, abort.
  void BreakSession();

  // A "Start EXEC service" task for an EXECUTEAT line (empty commands are
  // ignored).
  void StartExecuteAt(const std::string& time_text, const std::string& command);
  int ExecuteAtTaskCount();
  // The reset of a configuration load: the EXECUTEAT tasks and the "Halt
  // service" end, the rules' counts start again.
  void StopActingTasks();

  Programs& programs() { return programs_; }

 private:
  uint32_t HaltServiceLoop();
  uint32_t ExecuteAtLoop(const std::string& time_text, const std::string& command);

  Env& env_;
  Tasks& tasks_;
  Log& log_;
  ConfigStore& config_;
  SharedState& shared_;
  FlagFiles& flags_;
  SessionControl& session_;
  MacroTasks& macro_tasks_;
  Programs programs_;

  std::mutex mu_;
  // Running counts of the EVENTID rules, beside a copy of the rules they
  // belong to: a configuration with other rules starts from zero.
  std::vector<EventRule> rules_;        // guarded by mu_
  std::vector<uint16_t> counts_;        // guarded by mu_
  TaskHandle halt_;                     // guarded by mu_
  std::vector<TaskHandle> execute_at_;  // guarded by mu_
};

}  // namespace netrove
