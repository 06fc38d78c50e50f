// The waits of a task: sleeping on the table's clock, polling descriptors
// with a wake-up on stop, and the pause gate.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>

#include "runtime/task_internal.h"

namespace netrove {
namespace {

// Context of threads that are not tasks (the front-end's): never stopped.
std::stop_token OutsideToken() {
  thread_local std::stop_source never;
  return never.get_token();
}

Tasks::Gate* GateOf(const Task* task);

}  // namespace

Task*& CurrentTask() {
  thread_local Task* current = nullptr;
  return current;
}

Task::Task(std::string task_name, Tasks& table) : name(std::move(task_name)), owner(table) {
  wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void Task::Join() {
  if (CurrentTask() == this) return;
  std::unique_lock<std::mutex> lock(finish_mu);
  finish_cv.wait(lock, [this] { return finished; });
}

void Task::MarkFinished() {
  std::lock_guard<std::mutex> lock(finish_mu);
  finished = true;
  finish_cv.notify_all();
}

void Task::CloseWakeFd() {
  std::lock_guard<std::mutex> lock(wake_mu);
  if (wake_fd >= 0) close(wake_fd);
  wake_fd = -1;
}

void Task::Wake() {
  std::lock_guard<std::mutex> lock(wake_mu);
  if (wake_fd < 0) return;
  uint64_t one = 1;
  (void)!write(wake_fd, &one, sizeof one);
}

void RunTask(Task* task, TaskRoutine routine, uint32_t param, TaskFailures& failures) {
  CurrentTask() = task;
  try {
    PassPauseGate();
    if (!task->stop.stop_requested()) routine(param);
  } catch (...) {
    failures.RuntimeError(task->name);
  }
  routine = nullptr;  // release what the routine captured while still "running"
  task->CloseWakeFd();
  CurrentTask() = nullptr;
  task->running.store(false);
}

bool TaskStopRequested() { return CurrentStopToken().stop_requested(); }

std::stop_token CurrentStopToken() {
  Task* task = CurrentTask();
  return task ? task->stop.get_token() : OutsideToken();
}

std::string CurrentTaskName() {
  Task* task = CurrentTask();
  return task ? task->name : std::string("main");
}

void PassPauseGate() {
  Task* task = CurrentTask();
  // Only tasks stop at the gate: the thread that suspends and resumes them
  // never does.
  if (task == nullptr) return;
  Tasks::Gate& gate = *GateOf(task);
  if (!gate.suspended_flag.load()) return;
  std::stop_token token = task->stop.get_token();
  std::unique_lock<std::mutex> lock(gate.mu);
  gate.cv.wait(lock, token, [&gate] { return !gate.suspended; });
}

bool TaskSleep(int64_t ms) {
  Task* task = CurrentTask();
  std::stop_token token = CurrentStopToken();
  PassPauseGate();
  if (token.stop_requested()) return false;
  if (task) {
    (void)task->owner.env().Sleep(ms, token);
  } else {
    std::mutex mu;
    std::condition_variable_any cv;
    std::unique_lock<std::mutex> lock(mu);
    cv.wait_for(lock, token, std::chrono::milliseconds(std::max<int64_t>(ms, 0)),
                [] { return false; });
  }
  PassPauseGate();
  return !token.stop_requested();
}

int TaskPoll(struct pollfd* fds, nfds_t count, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  PassPauseGate();
  Task* task = CurrentTask();
  const int wake_fd = task ? task->wake_fd : -1;
  if (task == nullptr || wake_fd < 0) {
    // Outside a task (never stopped), or without a wake-up descriptor
    // (eventfd failed): plain waits, the latter in short slices.
    constexpr int kSliceMs = 20;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (task && task->stop.stop_requested()) {
        errno = ECANCELED;
        return -1;
      }
      int wait = timeout_ms;
      if (task) {
        wait = kSliceMs;
        if (timeout_ms >= 0) {
          auto left =
              std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
          wait = static_cast<int>(std::clamp<int64_t>(left.count(), 0, kSliceMs));
        }
      }
      int r = poll(fds, count, wait);
      if (r < 0 && errno == EINTR) continue;
      if (!task || r != 0 || (timeout_ms >= 0 && Clock::now() >= deadline)) return r;
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
  all[count] = {wake_fd, POLLIN, 0};
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (task->stop.stop_requested()) {
      errno = ECANCELED;
      return -1;
    }
    int wait = -1;
    if (timeout_ms >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
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

namespace {
Tasks::Gate* GateOf(const Task* task) { return task->owner.gate(); }
}  // namespace

}  // namespace netrove
