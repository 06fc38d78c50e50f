#include "dialer/events.h"

#include <algorithm>

#include "dialer/execute_at.h"
#include "runtime/clock.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr int64_t kClockCheckMs = 500;
constexpr size_t kMaxTimeText = 20;
constexpr size_t kMaxCommand = 255;

}  // namespace

Events::Events(Env& env, Tasks& tasks, Log& log, ConfigStore& config, SharedState& shared,
               FlagFiles& flags, SessionControl& session, MacroTasks& macro_tasks)
    : env_(env),
      tasks_(tasks),
      log_(log),
      config_(config),
      shared_(shared),
      flags_(flags),
      session_(session),
      macro_tasks_(macro_tasks),
      programs_(env, tasks) {}

Events::~Events() { StopActingTasks(); }

// --- Event rules.

bool Events::Fire(int number) {
  std::shared_ptr<const ConfigRecord> config = config_.Current();
  EventRule rule;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (rules_ != config->events) {
      rules_ = config->events;
      counts_.assign(rules_.size(), 0);
    }
    // The last rule of the number is the only one used.
    size_t i = rules_.size();
    while (i > 0 && rules_[i - 1].number != number) --i;
    if (i == 0) return false;
    --i;
    if (++counts_[i] < rules_[i].threshold) return false;
    counts_[i] = 0;
    rule = rules_[i];
  }
  switch (rule.action) {
    case EventAction::kExec:
      ExecuteCommand(rule.text);
      return false;
    case EventAction::kReload:
      if (!rule.text.empty()) shared_.connection_arg.Set(rule.text);
      return true;
    case EventAction::kExit:
      session_.Abort();
      return false;
  }
  return false;
}

void Events::ResetCounts() {
  std::lock_guard<std::mutex> lock(mu_);
  counts_.assign(rules_.size(), 0);
}

void Events::RunProgramList(const std::vector<std::string>& commands) {
  for (const std::string& command : commands) ExecuteCommand(command);
}

// --- Commands and macros.

void Events::RunCommand(const std::string& command) {
  std::string line = Trim(command);
  size_t space = line.find_first_of(" \t");
  std::string word = UpperAscii(line.substr(0, space));
  std::string rest = space == std::string::npos ? "" : Trim(line.substr(space));

  if (word == "$GETMAIL") {
    macro_tasks_.StartGetMail();
  } else if (word == "$CHECKURL") {
    macro_tasks_.StartUrlCheck(rest.empty() ? config_.Current()->check_url : rest);
  } else if (word == "$CREATEFLAG") {
    flags_.Create(rest);
  } else if (word == "$DELETEFLAG") {
    (void)flags_.Delete(rest);
  } else if (word == "$UPDATE") {
    macro_tasks_.StartAutoUpdate();
  } else if (word == "$BREAK") {
    shared_.control_request = kRequestStop;
  } else if (word == "$RESTART") {
    shared_.restart_requested = true;
    shared_.control_request = kRequestStop;
  } else {
    (void)programs_.Start(line);
  }
}

void Events::ExecuteCommand(const std::string& command) {
  log_.Write("Execute " + command);
  RunCommand(command);
}

// --- The "Halt service".

void Events::BreakSession() {
  session_.HangUp();
  shared_.control_request = kRequestStop;
  (void)TaskSleep(1000);
  shared_.control_request = kRequestStop;
  session_.Abort();
}

void Events::CheckFlagFiles() {
  std::shared_ptr<const ConfigRecord> config = config_.Current();
  if (flags_.Exists(config->break_flag)) {
    (void)flags_.Delete(config->break_flag);
    BreakSession();
  }
  if (flags_.Exists(config->sleep_flag)) session_.HangUp();
  size_t pairs = std::min(config->execute_flag_files.size(), config->execute_flag_commands.size());
  for (size_t i = 0; i < pairs; ++i) {
    const std::string& flag = config->execute_flag_files[i];
    // Once per appearance: a flag that cannot be removed does not run its
    // command again every round.
    if (!flags_.Exists(flag) || !flags_.Delete(flag)) continue;
    ExecuteCommand(config->execute_flag_commands[i]);
  }
}

uint32_t Events::HaltServiceLoop() {
  bool break_done = false;
  for (;;) {
    uint32_t break_time = config_.Current()->break_time;
    if (break_time != 0 && !break_done && NowSeconds(env_) >= break_time) {
      break_done = true;
      BreakSession();
    }
    if (!TaskSleep(kHaltServicePeriodMs)) return 0;
    CheckFlagFiles();
  }
}

void Events::StartHaltService() {
  // Tasks are stopped outside the lock: a stopping task may itself stop
  // the "Halt service" (an abort stops the services).
  StopHaltService();
  TaskHandle fresh = tasks_.Start("Halt service", [this](uint32_t) { return HaltServiceLoop(); });
  TaskHandle old;
  {
    std::lock_guard<std::mutex> lock(mu_);
    old = std::move(halt_);
    halt_ = std::move(fresh);
  }
  Tasks::Stop(old);
}

void Events::StopHaltService() { Tasks::TakeAndStop(mu_, halt_); }

bool Events::HaltServiceRunning() {
  std::lock_guard<std::mutex> lock(mu_);
  return Tasks::Running(halt_);
}

// --- EXECUTEAT.

uint32_t Events::ExecuteAtLoop(const std::string& time_text, const std::string& command) {
  const uint32_t period = ExecuteAtPeriod(time_text);
  uint32_t due = FirstExecuteAt(time_text, NowSeconds(env_));
  for (;;) {
    for (;;) {
      uint32_t now = NowSeconds(env_);
      if (now >= due) break;
      // The clock went back further than one period: plan from the new time.
      if (due - now > period) due = FirstExecuteAt(time_text, now);
      int64_t wait_ms = std::min<int64_t>(static_cast<int64_t>(due - now) * 1000, kClockCheckMs);
      if (!TaskSleep(std::max<int64_t>(wait_ms, 1))) return 0;
    }
    ExecuteCommand(command);
    if (TaskStopRequested()) return 0;
    due = NextExecuteAt(time_text, due, NowSeconds(env_));
  }
}

void Events::StartExecuteAt(const std::string& time_text, const std::string& command) {
  if (command.empty()) return;
  std::string time_copy = time_text.substr(0, kMaxTimeText);
  std::string command_copy = command.substr(0, kMaxCommand);
  TaskHandle task = tasks_.Start("Start EXEC service", [this, time_copy, command_copy](uint32_t) {
    return ExecuteAtLoop(time_copy, command_copy);
  });
  std::lock_guard<std::mutex> lock(mu_);
  execute_at_.push_back(std::move(task));
}

int Events::ExecuteAtTaskCount() {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(std::count_if(execute_at_.begin(), execute_at_.end(), &Tasks::Running));
}

void Events::StopActingTasks() {
  std::vector<TaskHandle> tasks;
  {
    std::lock_guard<std::mutex> lock(mu_);
    tasks.swap(execute_at_);
  }
  for (TaskHandle& task : tasks) Tasks::Stop(task);
  StopHaltService();
  ResetCounts();
}

}  // namespace netrove
