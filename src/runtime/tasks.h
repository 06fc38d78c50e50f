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

// Starts `routine(param)` as the task `name`, on a thread of its own: a
// thread left idle by an ended task (kept for up to 30 s), else a new one.
// The task is recorded in the first free slot (found and taken in one
// locked step, so two starters never share a slot). When all 1000 slots
// are taken, the ended tasks are reaped first; if still none is free the
// task goes to an overflow list: it runs, keeps its name for error
// reports, is suspended, stopped and reaped like the others, but is not
// counted by TaskSlotsInUse/HighestTaskSlot. If a thread cannot be
// created, ended tasks are reaped and it is tried once more; a second
// failure is fatal ("Error: Can't start task <name>", exit code 99). Never
// returns null.
// An exception that escapes the routine is the task's run-time error
// (ReportRuntimeError); the task then ends.
TaskHandle StartTask(const std::string& name, TaskRoutine routine, uint32_t param = 0);
// As StartTask, but a thread that cannot be created is a result: null, and
// nothing recorded. For tasks a refusal can stand in for (one per client
// connection or datagram), so that a flood of clients never ends the
// program.
TaskHandle TryStartTask(const std::string& name, TaskRoutine routine, uint32_t param = 0);

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
// Blocks a task while tasks are suspended (returns at once on a stop
// request). Does nothing on a thread that is not a task.
void PassPauseGate();
// Name of the current task ("main" outside any task).
std::string CurrentTaskName();

// --- The table. All functions are thread-safe.
// Joins the tasks whose routine has returned and frees their slots.
void ReapTasks();
// Closes and opens the pause gate. A suspended task makes no progress at
// its waiting points (TaskSleep, TaskPoll, PassPauseGate) until resumed;
// work between waiting points runs on to the next one. The caller's own
// thread is never held unless it is a task.
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
