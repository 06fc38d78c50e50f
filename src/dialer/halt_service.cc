#include "dialer/halt_service.h"

#include <algorithm>
#include <mutex>

#include "accounting/clock.h"
#include "config/config.h"
#include "dialer/events.h"
#include "runtime/files.h"
#include "runtime/shared_state.h"
#include "runtime/tasks.h"

namespace netrove {
namespace {

struct HaltTask {
  std::mutex mu;
  TaskHandle task;
};

HaltTask& TheHaltTask() {
  static HaltTask* halt = new HaltTask;  // lives until the process ends
  return *halt;
}

uint32_t HaltServiceLoop() {
  bool break_done = false;
  for (;;) {
    uint32_t break_time = CurrentConfig()->break_time;
    if (break_time != 0 && !break_done && NowSeconds() >= break_time) {
      break_done = true;
      BreakSession();
    }
    if (!TaskSleep(kHaltServicePeriodMs)) return 0;
    CheckFlagFiles();
  }
}

}  // namespace

void BreakSession() {
  HangUpNow();
  Shared().control_request = kRequestStop;
  (void)TaskSleep(1000);
  Shared().control_request = kRequestStop;
  AbortProgramNow();
}

void CheckFlagFiles() {
  std::shared_ptr<const ConfigRecord> config = CurrentConfig();
  if (!config->break_flag.empty() && FileExists(config->break_flag)) {
    (void)DeleteFlagFile(config->break_flag);
    BreakSession();
  }
  if (!config->sleep_flag.empty() && FileExists(config->sleep_flag)) HangUpNow();
  size_t pairs = std::min(config->execute_flag_files.size(), config->execute_flag_commands.size());
  for (size_t i = 0; i < pairs; ++i) {
    const std::string& flag = config->execute_flag_files[i];
    // Once per appearance: a flag that cannot be removed does not run its
    // command again every round.
    if (flag.empty() || !FileExists(flag) || !DeleteFlagFile(flag)) continue;
    ExecuteCommand(config->execute_flag_commands[i]);
  }
}

void StartHaltService() {
  // Tasks are stopped outside the lock: a stopping task may itself call
  // StopHaltService (AbortProgram stops the services).
  StopHaltService();
  TaskHandle fresh = StartTask("Halt service", [](uint32_t) { return HaltServiceLoop(); });
  TaskHandle old;
  {
    HaltTask& h = TheHaltTask();
    std::lock_guard<std::mutex> lock(h.mu);
    old = std::move(h.task);
    h.task = std::move(fresh);
  }
  StopTask(old);
}

void StopHaltService() {
  TaskHandle task;
  {
    HaltTask& h = TheHaltTask();
    std::lock_guard<std::mutex> lock(h.mu);
    task = std::move(h.task);
    h.task = nullptr;
  }
  StopTask(task);
}

bool HaltServiceRunning() {
  HaltTask& h = TheHaltTask();
  std::lock_guard<std::mutex> lock(h.mu);
  return TaskRunning(h.task);
}

}  // namespace netrove
