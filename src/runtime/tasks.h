// Named tasks: every background activity of the program runs on a task
// started here and recorded by name in the task table (slots 1..1000).
//
// Stopping is cooperative. StopTask requests the stop and returns only when
// the task's routine has returned; every wait of a task (TaskSleep,
// TaskPoll, the pause gate) returns at once when its stop is requested, so
// a task blocked for minutes ends within milliseconds. Sockets and files a
// task owns are RAII objects on its stack and are closed when it returns.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

namespace netrove {

class Task;
using TaskHandle = std::shared_ptr<Task>;
using TaskRoutine = std::function<uint32_t(uint32_t param)>;

inline constexpr int kTaskSlots = 1000;

// Starts `routine(param)` on a new thread named `name`. The task is
// recorded in the first free slot; past 1000 live tasks it still runs but
// is not recorded. Never returns null.
TaskHandle StartTask(const std::string& name, TaskRoutine routine, uint32_t param = 0);

// Requests the stop of the task and waits until it has ended. Safe on a
// null handle, on an ended task, and from the task itself (then it only
// requests). Resets `task`.
void StopTask(TaskHandle& task);
// Requests the stop without waiting.
void RequestTaskStop(const TaskHandle& task);
// True while the task's routine has not returned.
bool TaskRunning(const TaskHandle& task);
std::string TaskName(const TaskHandle& task);

// --- Inside a task (on any other thread these act on a never-stopped context).
// True when the current task was asked to stop.
bool TaskStopRequested();
std::stop_token CurrentStopToken();
// Sleeps `ms` milliseconds; returns false at once when the task is asked to
// stop. Waits at the pause gate while tasks are suspended.
bool TaskSleep(int64_t ms);
// poll(2) that also wakes when the task is asked to stop. Returns poll's
// result; -1 with errno ECANCELED when stopped. EINTR is retried.
int TaskPoll(struct pollfd* fds, nfds_t count, int timeout_ms);
// Blocks while tasks are suspended (returns at once on a stop request).
void PassPauseGate();
// Name of the current task ("main" outside any task).
std::string CurrentTaskName();

// --- The table.
void ReapTasks();
void SuspendAllTasks();
void ResumeAllTasks();
bool TasksSuspended();
// Number of occupied slots and the highest slot number ever used.
int TaskSlotsInUse();
int HighestTaskSlot();
// Requests the stop of every recorded task and waits for them (bounded by
// `timeout_ms`); used at program exit.
void StopAllTasks(int timeout_ms);

// Starts the "Task reaper" (every 30 s). Idempotent.
void StartTaskReaper();

// The run-time error report of a task that died of an uncaught exception:
// "Error in thread " + name on the console, "Run-time error code " + code in
// the log, RestartRequested set, stop requested from the session controller.
void ReportRuntimeError(const std::string& task_name, int code);

}  // namespace netrove
