// The threads under the tasks: small stacks, reused while idle, joined.
#include <algorithm>
#include <chrono>
#include <thread>

#include "runtime/task_internal.h"

namespace netrove {
namespace {

constexpr size_t kMaxIdleThreads = 64;
constexpr auto kThreadIdleLife = std::chrono::seconds(30);

// Task threads run on small stacks (one per client connection adds up);
// the sanitizers' instrumented frames need more room.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kTaskStackSize = 2u << 20;
#else
constexpr size_t kTaskStackSize = 256u << 10;
#endif

struct ThreadStart {
  Tasks::Pool* pool;
  void* worker;
};

}  // namespace

Tasks::Pool::~Pool() { (void)Shutdown(); }

void* Tasks::Pool::ThreadMain(void* arg) {
  auto* start = static_cast<ThreadStart*>(arg);
  Pool* pool = start->pool;
  auto* worker = static_cast<Worker*>(start->worker);
  delete start;
  pool->Serve(worker);
  return nullptr;
}

void Tasks::Pool::Serve(Worker* self) {
  std::unique_lock<std::mutex> lock(mu_);
  while (self->job) {
    Job job = std::move(*self->job);
    self->job.reset();
    lock.unlock();
    RunTask(job.task, std::move(job.routine), job.param, failures_);
    job.task->MarkFinished();  // the last touch of the task
    lock.lock();
    if (self->retire || idle_.size() >= kMaxIdleThreads) break;
    idle_.push_back(self);
    auto woken = [self] { return self->job.has_value() || self->retire; };
    if (!self->cv.wait_for(lock, kThreadIdleLife, woken)) std::erase(idle_, self);
  }
  self->ended = true;
}

void Tasks::Pool::JoinEndedLocked(std::unique_lock<std::mutex>& lock) {
  std::vector<std::unique_ptr<Worker>> ended;
  for (auto it = workers_.begin(); it != workers_.end();) {
    if ((*it)->ended) {
      ended.push_back(std::move(*it));
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
  if (ended.empty()) return;
  lock.unlock();
  for (auto& w : ended) pthread_join(w->id, nullptr);  // past its loop: returns at once
  lock.lock();
}

bool Tasks::Pool::Launch(const TaskHandle& task, TaskRoutine& routine, uint32_t param) {
  std::unique_lock<std::mutex> lock(mu_);
  JoinEndedLocked(lock);
  if (!idle_.empty()) {
    Worker* worker = idle_.back();
    idle_.pop_back();
    worker->job.emplace(Job{task.get(), std::move(routine), param});
    lock.unlock();
    // Outside the lock, so that the thread does not wake into a held lock.
    worker->cv.notify_one();
    return true;
  }
  auto worker = std::make_unique<Worker>();
  // A copy of the routine: it is needed again if the thread cannot be made.
  worker->job.emplace(Job{task.get(), routine, param});
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  (void)pthread_attr_setstacksize(&attr, kTaskStackSize);
  auto* start = new ThreadStart{this, worker.get()};
  int rc = pthread_create(&worker->id, &attr, ThreadMain, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    return false;
  }
  workers_.push_back(std::move(worker));
  return true;
}

bool Tasks::Pool::Shutdown() {
  std::unique_lock<std::mutex> lock(mu_);
  for (Worker* w : idle_) {
    w->retire = true;
    w->cv.notify_one();
  }
  idle_.clear();
  for (auto& w : workers_) w->retire = true;  // ends after its current task
  // The retired idle threads leave their loop at once.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    bool busy =
        std::any_of(workers_.begin(), workers_.end(), [](const auto& w) { return !w->ended; });
    JoinEndedLocked(lock);
    if (!busy || std::chrono::steady_clock::now() >= deadline) break;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    lock.lock();
  }
  JoinEndedLocked(lock);
  return workers_.empty();
}

}  // namespace netrove
