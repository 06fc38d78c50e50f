#include "dialer/execute_at.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "accounting/clock.h"
#include "dialer/events.h"
#include "dialer/halt_service.h"
#include "runtime/tasks.h"

namespace netrove {
namespace {

constexpr int64_t kClockCheckMs = 500;
constexpr size_t kMaxTimeText = 20;
constexpr size_t kMaxCommand = 255;

bool IsClockTime(const std::string& time_text) { return time_text.find(':') != std::string::npos; }

// Seconds between two runs when all goes to plan.
uint32_t PeriodOf(const std::string& time_text) {
  if (IsClockTime(time_text)) return 86400;
  return NextTimeOf(0, time_text);
}

struct ExecuteAtTasks {
  std::mutex mu;
  std::vector<TaskHandle> tasks;
};

ExecuteAtTasks& TheTasks() {
  static ExecuteAtTasks* tasks = new ExecuteAtTasks;  // lives until the process ends
  return *tasks;
}

uint32_t ExecuteAtLoop(const std::string& time_text, const std::string& command) {
  uint32_t period = PeriodOf(time_text);
  uint32_t due = FirstExecuteAt(time_text, NowSeconds());
  for (;;) {
    for (;;) {
      uint32_t now = NowSeconds();
      if (now >= due) break;
      // The clock went back further than one period: plan from the new time.
      if (due - now > period) due = FirstExecuteAt(time_text, now);
      int64_t wait_ms = std::min<int64_t>(static_cast<int64_t>(due - now) * 1000, kClockCheckMs);
      if (!TaskSleep(std::max<int64_t>(wait_ms, 1))) return 0;
    }
    ExecuteCommand(command);
    if (TaskStopRequested()) return 0;
    due = NextExecuteAt(time_text, due, NowSeconds());
  }
}

}  // namespace

uint32_t FirstExecuteAt(const std::string& time_text, uint32_t now) {
  // A clock time is due at the start of its minute (at once when that
  // minute is running now).
  if (IsClockTime(time_text)) return NextTimeOf(now - now % 60, time_text);
  return NextTimeOf(now, time_text);
}

uint32_t NextExecuteAt(const std::string& time_text, uint32_t due, uint32_t now) {
  uint32_t next;
  if (IsClockTime(time_text)) {
    // From the minute after the run: the same minute is not met again today.
    uint32_t last = std::max(due, now);
    next = NextTimeOf(last - last % 60 + 60, time_text);
  } else {
    next = NextTimeOf(due, time_text);
    if (next <= now) next = NextTimeOf(now, time_text);  // late: no catching up
  }
  return std::max(next, now + 1);
}

void StartExecuteAt(const std::string& time_text, const std::string& command) {
  if (command.empty()) return;
  std::string time_copy = time_text.substr(0, kMaxTimeText);
  std::string command_copy = command.substr(0, kMaxCommand);
  TaskHandle task = StartTask("Start EXEC service", [time_copy, command_copy](uint32_t) {
    return ExecuteAtLoop(time_copy, command_copy);
  });
  ExecuteAtTasks& t = TheTasks();
  std::lock_guard<std::mutex> lock(t.mu);
  t.tasks.push_back(std::move(task));
}

void StopExecuteAtTasks() {
  std::vector<TaskHandle> tasks;
  {
    ExecuteAtTasks& t = TheTasks();
    std::lock_guard<std::mutex> lock(t.mu);
    tasks.swap(t.tasks);
  }
  for (TaskHandle& task : tasks) StopTask(task);
}

int ExecuteAtTaskCount() {
  ExecuteAtTasks& t = TheTasks();
  std::lock_guard<std::mutex> lock(t.mu);
  return static_cast<int>(std::count_if(t.tasks.begin(), t.tasks.end(),
                                        [](const TaskHandle& h) { return TaskRunning(h); }));
}

void StopActingTasks() {
  StopExecuteAtTasks();
  StopHaltService();
}

}  // namespace netrove
