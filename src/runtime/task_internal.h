// Internals of the task table shared by its three parts: the table
// (task_table.cc), the threads under the tasks (task_threads.cc) and the
// waits of a task (task_wait.cc).
#pragma once

#include <pthread.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

#include "runtime/tasks.h"

namespace netrove {

class Task {
 public:
  Task(std::string task_name, Tasks& table);
  ~Task() { CloseWakeFd(); }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // Waits until the thread that ran the task is done with it (the routine
  // and what it captured are gone). Returns at once on the task's own
  // thread.
  void Join();
  // Called by the thread that ran the task, as its last step with it.
  void MarkFinished();
  // The wake-up descriptor goes as soon as the routine has returned: an
  // ended task that waits to be reaped must not hold a descriptor, or a
  // burst of short connections runs the process out of them.
  void CloseWakeFd();
  // Wakes a TaskPoll of the task. The lock keeps a stop request from
  // writing into a number that the task closed and the process reused.
  void Wake();

  const std::string name;
  Tasks& owner;
  int slot = 0;  // 0 = not in the fixed table
  std::atomic<bool> running{true};
  std::stop_source stop;
  std::mutex wake_mu;
  int wake_fd = -1;  // written under wake_mu; read without it only by the task itself

 private:
  std::mutex finish_mu;
  std::condition_variable finish_cv;
  bool finished = false;  // guarded by finish_mu
};

struct Tasks::Table {
  mutable std::mutex mu;
  std::array<TaskHandle, kTaskSlots + 1> slots;  // index 0 unused; guarded by mu
  std::vector<TaskHandle> overflow;              // guarded by mu
  int highest = 0;                               // guarded by mu
  TaskHandle reaper;                             // guarded by mu
};

struct Tasks::Gate {
  std::mutex mu;
  std::condition_variable_any cv;
  bool suspended = false;  // guarded by mu
  std::atomic<bool> suspended_flag{false};
};

// The task the calling thread runs (null outside tasks).
Task*& CurrentTask();

// Runs one task on the calling thread: the routine, its run-time error
// report, then the release of what it captured and its wake-up descriptor.
void RunTask(Task* task, TaskRoutine routine, uint32_t param, TaskFailures& failures);

}  // namespace netrove

namespace netrove {

// The threads under the tasks. A thread whose task has ended waits a
// while for the next task instead of ending, so a new client connection
// costs a hand-over, not the creation of a thread (and the mapping of its
// stack). Threads are joinable and joined: an idle one that times out is
// joined by the next launch, all of them at Shutdown.
class Tasks::Pool {
 public:
  explicit Pool(TaskFailures& failures) : failures_(failures) {}
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // Runs the task on an idle thread or a new one; false when no thread
  // could be made (then `routine` is left as it was).
  bool Launch(const TaskHandle& task, TaskRoutine& routine, uint32_t param);
  // Retires the idle threads and joins every thread that has ended. True
  // when no thread is left running (a task that did not stop keeps its
  // thread).
  bool Shutdown();

 private:
  struct Job {
    Task* task = nullptr;  // kept alive by the table until the thread is done with it
    TaskRoutine routine;
    uint32_t param = 0;
  };
  // One thread. Guarded by mu_.
  struct Worker {
    pthread_t id{};
    std::condition_variable cv;
    std::optional<Job> job;
    bool retire = false;
    bool ended = false;  // left its loop: to be joined
  };
  static void* ThreadMain(void* arg);
  void Serve(Worker* self);
  void JoinEndedLocked(std::unique_lock<std::mutex>& lock);

  TaskFailures& failures_;
  std::mutex mu_;
  std::vector<std::unique_ptr<Worker>> workers_;  // guarded by mu_
  std::vector<Worker*> idle_;                     // guarded by mu_; last is next to work
};

}  // namespace netrove
