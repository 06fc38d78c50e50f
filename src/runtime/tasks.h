// Named tasks: every background activity of the program runs on a task
// started by its Tasks table and recorded by name in slots 1..1000.
//
// Stopping is cooperative. Stop requests the stop and returns only when the
// task's routine has returned; every wait of a task (TaskSleep, TaskPoll,
// the pause gate) returns at once when its stop is requested, so a task
// blocked for minutes ends within milliseconds. Sockets and files a task
// owns are RAII objects on its stack and are closed when it returns.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <poll.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

#include "runtime/env.h"

namespace netrove {

class Task;
using TaskHandle = std::shared_ptr<Task>;
using TaskRoutine = std::function<uint32_t(uint32_t param)>;

inline constexpr int kTaskSlots = 1000;

// What a table reports to its owner.
class TaskFailures {
 public:
  virtual ~TaskFailures() = default;
  // An exception escaped the routine of the task `name` (which then ended).
  virtual void RuntimeError(const std::string& name) = 0;
  // No thread could be made for the task `name`, which the program needs.
  [[noreturn]] virtual void CannotStart(const std::string& name) = 0;
};

class Tasks {
 public:
  // Task threads wait with `env`'s clock (TaskSleep).
  Tasks(Env& env, TaskFailures& failures);
  // Stops every task (bounded) and joins the threads that ended.
  ~Tasks();
  Tasks(const Tasks&) = delete;
  Tasks& operator=(const Tasks&) = delete;

  // Starts `routine(param)` as the task `name`, on a thread of its own (one
  // left idle by an ended task for up to 30 s, else a new one with a small
  // stack). It takes the first free slot (found and taken in one locked
  // step); when all are taken, ended tasks are reaped first, and if still
  // none is free it runs unrecorded in the slots (an overflow list: still
  // named, suspended, stopped and reaped). A thread that cannot be made is
  // tried once more after reaping; a second failure is
  // TaskFailures::CannotStart. Never returns null.
  TaskHandle Start(const std::string& name, TaskRoutine routine, uint32_t param = 0);
  // As Start, but a thread that cannot be made is a result: null, nothing
  // recorded. For tasks a refusal can stand in for (one per client
  // connection or datagram), so that a flood of clients never ends the
  // program.
  TaskHandle TryStart(const std::string& name, TaskRoutine routine, uint32_t param = 0);

  // Requests the stop and waits until the task has ended. Safe on a null
  // handle, on an ended task, and from the task itself (then it only
  // requests). Resets `task`.
  static void Stop(TaskHandle& task);
  // Takes the handles out of their members under `mu`, then stops them in
  // order without holding it (a task that ends may need `mu` itself).
  template <typename... Handles>
  static void TakeAndStop(std::mutex& mu, Handles&... held) {
    std::array<TaskHandle, sizeof...(Handles)> taken;
    {
      std::lock_guard<std::mutex> lock(mu);
      size_t i = 0;
      ((taken[i++] = std::move(held)), ...);
    }
    for (TaskHandle& task : taken) Stop(task);
  }
  static void RequestStop(const TaskHandle& task);
  // True while the routine has not returned.
  static bool Running(const TaskHandle& task);
  static std::string Name(const TaskHandle& task);

  // Joins the tasks whose routine has returned and frees their slots.
  void Reap();
  // Starts the "Task reaper" (every 30 s). Idempotent.
  void StartReaper();
  // Closes and opens the pause gate: a suspended task makes no progress at
  // its waiting points (TaskSleep, TaskPoll, PassPauseGate) until resumed.
  void SuspendAll();
  void ResumeAll();
  int SlotsInUse() const;
  // Requests the stop of every task and waits for them, at most
  // `timeout_ms`; used at program exit.
  void StopAll(int timeout_ms);

  Env& env() const { return env_; }

  // The parts behind the table (task_internal.h).
  struct Table;
  class Pool;
  struct Gate;
  Gate* gate() const { return gate_.get(); }

 private:
  void Record(const TaskHandle& task);
  void Unrecord(const TaskHandle& task);

  Env& env_;
  TaskFailures& failures_;
  std::unique_ptr<Table> table_;
  std::unique_ptr<Pool> pool_;
  std::unique_ptr<Gate> gate_;
};

// --- The calling task. On a thread that is not a task these act on a
// context that is never stopped and waits in real time.

bool TaskStopRequested();
std::stop_token CurrentStopToken();
// Sleeps `ms` milliseconds (of the table's clock); false at once when the
// task is asked to stop. Waits at the pause gate while tasks are suspended.
bool TaskSleep(int64_t ms);
// poll(2) that also wakes when the task is asked to stop: poll's result,
// or -1 with errno ECANCELED when stopped. EINTR is retried.
int TaskPoll(struct pollfd* fds, nfds_t count, int timeout_ms);
// Holds a task while tasks are suspended (returns at once on a stop).
void PassPauseGate();
// The task's name ("main" outside any task).
std::string CurrentTaskName();

}  // namespace netrove
