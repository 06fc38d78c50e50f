#include "runtime/tasks.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "runtime/console.h"
#include "runtime/log.h"
#include "runtime/program.h"
#include "runtime/shared_state.h"
#include "runtime/signals.h"

namespace netrove {

class Task {
 public:
  explicit Task(std::string task_name) : name(std::move(task_name)) {
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  ~Task() { CloseWakeFd(); }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // Waits until the thread that ran the task is done with it (the routine
  // and what it captured are gone). Returns at once on the task's own
  // thread.
  void Join();
  // The wake-up descriptor goes as soon as the routine has returned: an
  // ended task that waits to be reaped must not hold a descriptor, or a
  // burst of short connections runs the process out of them.
  void CloseWakeFd() {
    std::lock_guard<std::mutex> lock(wake_mu);
    if (wake_fd >= 0) close(wake_fd);
    wake_fd = -1;
  }
  // Wakes a TaskPoll of the task. The lock keeps a stop request from
  // writing into a number that the task closed and the process reused.
  void Wake() {
    std::lock_guard<std::mutex> lock(wake_mu);
    if (wake_fd < 0) return;
    uint64_t one = 1;
    (void)!write(wake_fd, &one, sizeof one);
  }
  // Called by the thread that ran the task, as its last step with it.
  void MarkFinished() {
    std::lock_guard<std::mutex> lock(finish_mu);
    finished = true;
    finish_cv.notify_all();
  }

  const std::string name;
  int slot = 0;  // 0 = not in the fixed table
  std::atomic<bool> running{true};
  std::mutex wake_mu;
  int wake_fd = -1;  // written under wake_mu; read without it only by the task itself
  std::stop_source stop;
  std::mutex sleep_mu;
  std::condition_variable_any sleep_cv;
  std::mutex finish_mu;
  std::condition_variable finish_cv;
  bool finished = false;  // guarded by finish_mu
};

namespace {

struct Table {
  std::mutex mu;
  std::array<TaskHandle, kTaskSlots + 1> slots;  // index 0 unused
  std::vector<TaskHandle> overflow;              // tasks started while all slots were taken
  int highest = 0;
};

Table& TheTable() {
  static Table* table = new Table;  // lives until the process ends
  return *table;
}

// The pause gate of SuspendAllTasks/ResumeAllTasks. Lives until the
// process ends, since tasks may still wait at it while the process exits.
struct Gate {
  std::mutex mu;
  std::condition_variable_any cv;
  bool suspended = false;  // guarded by mu
  std::atomic<bool> suspended_flag{false};
};

Gate& TheGate() {
  static Gate* gate = new Gate;
  return *gate;
}

// Context of threads that are not tasks (the front-end's thread): never stopped.
struct OutsideContext {
  std::stop_source stop;
  std::mutex sleep_mu;
  std::condition_variable_any sleep_cv;
};

thread_local Task* current_task = nullptr;

OutsideContext& Outside() {
  thread_local OutsideContext ctx;
  return ctx;
}

std::stop_token TokenOfCurrent() {
  return current_task ? current_task->stop.get_token() : Outside().stop.get_token();
}

// Takes the first free slot atomically; 0 when none is free.
int TakeSlot(Table& t, const TaskHandle& task) {
  std::lock_guard<std::mutex> lock(t.mu);
  for (int i = 1; i <= kTaskSlots; ++i) {
    if (!t.slots[i]) {
      t.slots[i] = task;
      t.highest = std::max(t.highest, i);
      return i;
    }
  }
  return 0;
}

}  // namespace

void Task::Join() {
  if (current_task == this) return;
  std::unique_lock<std::mutex> lock(finish_mu);
  finish_cv.wait(lock, [this] { return finished; });
}

namespace {

void RunTask(Task* task, TaskRoutine routine, uint32_t param) {
  current_task = task;
  try {
    PassPauseGate();
    if (!task->stop.stop_requested()) routine(param);
  } catch (...) {
    ReportRuntimeError(task->name, kRuntimeErrorCode);
  }
  routine = nullptr;  // release what the routine captured while still "running"
  task->CloseWakeFd();
  current_task = nullptr;
  task->running.store(false);
}

}  // namespace

namespace {

// Records the task: the first free slot, or the overflow list when all
// slots are taken even after reaping.
void Record(Table& t, const TaskHandle& task) {
  task->slot = TakeSlot(t, task);
  if (task->slot != 0) return;
  ReapTasks();
  task->slot = TakeSlot(t, task);
  if (task->slot != 0) return;
  std::lock_guard<std::mutex> lock(t.mu);
  t.overflow.push_back(task);
}

void Unrecord(Table& t, const TaskHandle& task) {
  std::lock_guard<std::mutex> lock(t.mu);
  if (task->slot != 0) {
    if (t.slots[task->slot] == task) t.slots[task->slot].reset();
    return;
  }
  auto& o = t.overflow;
  for (auto it = o.begin(); it != o.end(); ++it) {
    if (*it == task) {
      o.erase(it);
      return;
    }
  }
}

// Task threads. A thread whose task has ended waits a while for the next
// task instead of ending, so a new client connection costs a hand-over,
// not the creation of a thread (and the mapping of its stack).
constexpr size_t kMaxIdleThreads = 64;
constexpr auto kThreadIdleLife = std::chrono::seconds(30);

// The table keeps the task alive until it is reaped, and it is reaped
// (joined, then let go) only after the thread marked it finished; so the
// raw pointer stays valid for as long as the thread uses it.
struct Job {
  Task* task = nullptr;
  TaskRoutine routine;
  uint32_t param = 0;
};

// One thread under the tasks. A record outlives its thread: it goes to the
// pool's spares for a later thread, so a wake-up that comes late finds a
// live (if unrelated) record. All fields are guarded by the pool's mutex.
struct TaskThread {
  pthread_t id{};
  bool joinable = false;  // false once detached, or taken to be joined before a fork
  std::condition_variable cv;
  std::optional<Job> job;
  bool retire = false;
};

struct ThreadPool {
  std::mutex mu;
  std::vector<TaskThread*> idle;   // guarded by mu; the last one is the next to work
  std::vector<TaskThread*> spare;  // guarded by mu; records of ended threads
};

void PrepareFork();
void AfterFork();

ThreadPool& ThePool() {
  // Idle threads may wait on it while the process exits: never destroyed.
  static ThreadPool* pool = [] {
    pthread_atfork(PrepareFork, AfterFork, AfterFork);
    return new ThreadPool;
  }();
  return *pool;
}

// Before a fork the idle threads end (a child has none of its parent's
// threads, and the process forks with only the threads of running tasks,
// as it would without the pool), and the pool's lock is held across the
// fork so that the child gets it in a consistent state.
void PrepareFork() {
  ThreadPool& pool = ThePool();
  std::vector<pthread_t> leaving;
  {
    std::lock_guard<std::mutex> lock(pool.mu);
    for (TaskThread* t : pool.idle) {
      t->retire = true;
      if (t->joinable) leaving.push_back(t->id);
      t->joinable = false;
      t->cv.notify_one();
    }
    pool.idle.clear();
  }
  for (pthread_t id : leaving) pthread_join(id, nullptr);
  pool.mu.lock();
}

void AfterFork() { ThePool().mu.unlock(); }

void* RunThread(void* arg) {
  auto* self = static_cast<TaskThread*>(arg);
  ThreadPool& pool = ThePool();
  std::unique_lock<std::mutex> lock(pool.mu);
  while (self->job) {
    Job job = std::move(*self->job);
    self->job.reset();
    lock.unlock();
    RunTask(job.task, std::move(job.routine), job.param);
    job.task->MarkFinished();  // the last touch of the task
    lock.lock();
    if (pool.idle.size() >= kMaxIdleThreads) break;
    pool.idle.push_back(self);
    auto woken = [self] { return self->job.has_value() || self->retire; };
    if (!self->cv.wait_for(lock, kThreadIdleLife, woken)) std::erase(pool.idle, self);
  }
  if (self->joinable) pthread_detach(self->id);
  self->joinable = false;
  self->retire = false;
  pool.spare.push_back(self);
  return nullptr;
}

// Task threads run on small stacks (one per client connection adds up);
// the sanitizers' instrumented frames need more room.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kTaskStackSize = 2u << 20;
#else
constexpr size_t kTaskStackSize = 256u << 10;
#endif

// Starts a thread on RunThread; false when the system refuses one.
bool CreateThread(TaskThread* thread) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  (void)pthread_attr_setstacksize(&attr, kTaskStackSize);
  int rc = pthread_create(&thread->id, &attr, RunThread, thread);
  pthread_attr_destroy(&attr);
  thread->joinable = rc == 0;
  return rc == 0;
}

bool Launch(const TaskHandle& task, TaskRoutine& routine, uint32_t param) {
  ThreadPool& pool = ThePool();
  std::unique_lock<std::mutex> lock(pool.mu);
  if (!pool.idle.empty()) {
    TaskThread* thread = pool.idle.back();
    pool.idle.pop_back();
    thread->job.emplace(Job{task.get(), std::move(routine), param});
    lock.unlock();
    // Outside the lock, so that the thread does not wake into a held lock.
    thread->cv.notify_one();
    return true;
  }
  TaskThread* thread = nullptr;
  if (pool.spare.empty()) {
    thread = new TaskThread;
  } else {
    thread = pool.spare.back();
    pool.spare.pop_back();
  }
  // A copy of the routine: it is needed again if the thread cannot be made.
  thread->job.emplace(Job{task.get(), routine, param});
  if (!CreateThread(thread)) {
    thread->job.reset();
    pool.spare.push_back(thread);
    return false;
  }
  return true;
}

}  // namespace

TaskHandle TryStartTask(const std::string& name, TaskRoutine routine, uint32_t param) {
  auto task = std::make_shared<Task>(name);
  Table& t = TheTable();
  Record(t, task);
  if (!Launch(task, routine, param)) {
    ReapTasks();  // ended threads may be what held the resources
    if (!Launch(task, routine, param)) {
      task->CloseWakeFd();
      task->running = false;
      task->MarkFinished();
      Unrecord(t, task);
      return nullptr;
    }
  }
  return task;
}

TaskHandle StartTask(const std::string& name, TaskRoutine routine, uint32_t param) {
  TaskHandle task = TryStartTask(name, std::move(routine), param);
  if (!task) FatalError("Can't start task " + name);
  return task;
}

void RequestTaskStop(const TaskHandle& task) {
  if (!task) return;
  if (task->stop.request_stop()) task->Wake();
  // Wake a sleeper (the lock orders the notify after its predicate check).
  { std::lock_guard<std::mutex> lock(task->sleep_mu); }
  task->sleep_cv.notify_all();
  Gate& gate = TheGate();
  { std::lock_guard<std::mutex> lock(gate.mu); }
  gate.cv.notify_all();
}

void StopTask(TaskHandle& task) {
  if (!task) return;
  RequestTaskStop(task);
  if (current_task != task.get()) task->Join();
  task.reset();
}

bool TaskRunning(const TaskHandle& task) { return task && task->running.load(); }

std::string TaskName(const TaskHandle& task) { return task ? task->name : std::string(); }

bool TaskStopRequested() { return TokenOfCurrent().stop_requested(); }

std::stop_token CurrentStopToken() { return TokenOfCurrent(); }

void PassPauseGate() {
  Gate& gate = TheGate();
  // Only tasks stop at the gate: the front-end's thread, which suspends and
  // resumes them, never does.
  if (current_task == nullptr || !gate.suspended_flag.load()) return;
  std::stop_token token = current_task->stop.get_token();
  std::unique_lock<std::mutex> lock(gate.mu);
  gate.cv.wait(lock, token, [&gate] { return !gate.suspended; });
}

bool TaskSleep(int64_t ms) {
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<int64_t>(ms, 0));
  std::stop_token token = TokenOfCurrent();
  PassPauseGate();
  if (token.stop_requested()) return false;
  if (current_task) {
    std::unique_lock<std::mutex> lock(current_task->sleep_mu);
    current_task->sleep_cv.wait_until(lock, token, deadline, [] { return false; });
  } else {
    OutsideContext& ctx = Outside();
    std::unique_lock<std::mutex> lock(ctx.sleep_mu);
    ctx.sleep_cv.wait_until(lock, token, deadline, [] { return false; });
  }
  PassPauseGate();
  return !token.stop_requested();
}

int TaskPoll(struct pollfd* fds, nfds_t count, int timeout_ms) {
  PassPauseGate();
  Task* task = current_task;
  if (task == nullptr) {
    for (;;) {
      int r = poll(fds, count, timeout_ms);
      if (r < 0 && errno == EINTR) continue;
      return r;
    }
  }
  if (task->wake_fd < 0) {
    // No wake-up descriptor (eventfd failed): wait in short slices.
    constexpr int kSliceMs = 20;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (task->stop.stop_requested()) {
        errno = ECANCELED;
        return -1;
      }
      int wait = kSliceMs;
      if (timeout_ms >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        wait = static_cast<int>(std::clamp<int64_t>(left.count(), 0, kSliceMs));
      }
      int r = poll(fds, count, wait);
      if (r < 0 && errno == EINTR) continue;
      if (r != 0 || (timeout_ms >= 0 && std::chrono::steady_clock::now() >= deadline)) return r;
    }
  }
  // The caller's descriptors and the wake-up descriptor last; no
  // allocation for the few descriptors of a socket wait.
  std::array<struct pollfd, 9> few;
  std::vector<struct pollfd> many;
  struct pollfd* all = few.data();
  const nfds_t total = count + 1;
  if (total > few.size()) {
    many.resize(total);
    all = many.data();
  }
  std::copy(fds, fds + count, all);
  all[count] = {task->wake_fd, POLLIN, 0};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (task->stop.stop_requested()) {
      errno = ECANCELED;
      return -1;
    }
    int wait = -1;
    if (timeout_ms >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      wait = static_cast<int>(std::max<int64_t>(left.count(), 0));
    }
    for (nfds_t i = 0; i < total; ++i) all[i].revents = 0;
    int r = poll(all, total, wait);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return r;
    if (all[count].revents != 0) {
      errno = ECANCELED;
      return -1;
    }
    for (nfds_t i = 0; i < count; ++i) fds[i].revents = all[i].revents;
    PassPauseGate();
    return r;
  }
}

std::string CurrentTaskName() { return current_task ? current_task->name : std::string("main"); }

void ReapTasks() {
  Table& t = TheTable();
  std::vector<TaskHandle> ended;
  {
    std::lock_guard<std::mutex> lock(t.mu);
    for (int i = 1; i <= t.highest; ++i) {
      if (t.slots[i] && !t.slots[i]->running.load()) {
        ended.push_back(std::move(t.slots[i]));
        t.slots[i].reset();
      }
    }
    auto& o = t.overflow;
    for (auto it = o.begin(); it != o.end();) {
      if (!(*it)->running.load()) {
        ended.push_back(std::move(*it));
        it = o.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& task : ended) task->Join();  // already returned: a short wait at most
}

void SuspendAllTasks() {
  Gate& gate = TheGate();
  std::lock_guard<std::mutex> lock(gate.mu);
  gate.suspended = true;
  gate.suspended_flag = true;
}

void ResumeAllTasks() {
  Gate& gate = TheGate();
  {
    std::lock_guard<std::mutex> lock(gate.mu);
    gate.suspended = false;
    gate.suspended_flag = false;
  }
  gate.cv.notify_all();
}

bool TasksSuspended() { return TheGate().suspended_flag.load(); }

int TaskSlotsInUse() {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mu);
  int n = 0;
  for (int i = 1; i <= t.highest; ++i) n += t.slots[i] ? 1 : 0;
  return n;
}

int HighestTaskSlot() {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mu);
  return t.highest;
}

void StopAllTasks(int timeout_ms) {
  Table& t = TheTable();
  std::vector<TaskHandle> all;
  {
    std::lock_guard<std::mutex> lock(t.mu);
    for (int i = 1; i <= t.highest; ++i)
      if (t.slots[i]) all.push_back(t.slots[i]);
    all.insert(all.end(), t.overflow.begin(), t.overflow.end());
  }
  for (auto& task : all) RequestTaskStop(task);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (auto& task : all) {
    if (task.get() == current_task) continue;
    while (task->running.load() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!task->running.load()) task->Join();
  }
  ReapTasks();
}

void StartTaskReaper() {
  static std::once_flag once;
  std::call_once(once, [] {
    StartTask("Task reaper", [](uint32_t) -> uint32_t {
      while (TaskSleep(30000)) ReapTasks();
      return 0;
    });
  });
}

void ReportRuntimeError(const std::string& task_name, int code) {
  ConsoleWriteLine("Error in thread " + task_name);
  Shared().restart_requested = true;
  Log("Run-time error code " + std::to_string(code));
  Shared().control_request = kRequestStop;
}

}  // namespace netrove
