// The task table: slots 1..1000 and the overflow list, start, stop, reap,
// the pause gate and the stop of everything at exit.
#include <algorithm>
#include <chrono>
#include <thread>

#include "runtime/task_internal.h"

namespace netrove {

Tasks::Tasks(Env& env, TaskFailures& failures)
    : env_(env),
      failures_(failures),
      table_(std::make_unique<Table>()),
      pool_(std::make_unique<Pool>(failures)),
      gate_(std::make_unique<Gate>()) {}

Tasks::~Tasks() {
  StopAll(2000);
  if (!pool_->Shutdown()) {
    // A task that would not stop still runs on its thread, which uses the
    // pool, the gate and its task: they stay for the rest of the process.
    (void)pool_.release();
    (void)gate_.release();
    (void)table_.release();
  }
}

void Tasks::Record(const TaskHandle& task) {
  auto take = [&] {
    std::lock_guard<std::mutex> lock(table_->mu);
    for (int i = 1; i <= kTaskSlots; ++i) {
      if (table_->slots[i]) continue;
      table_->slots[i] = task;
      table_->highest = std::max(table_->highest, i);
      return i;
    }
    return 0;
  };
  task->slot = take();
  if (task->slot != 0) return;
  Reap();
  task->slot = take();
  if (task->slot != 0) return;
  std::lock_guard<std::mutex> lock(table_->mu);
  table_->overflow.push_back(task);
}

void Tasks::Unrecord(const TaskHandle& task) {
  std::lock_guard<std::mutex> lock(table_->mu);
  if (task->slot != 0) {
    if (table_->slots[task->slot] == task) table_->slots[task->slot].reset();
    return;
  }
  std::erase(table_->overflow, task);
}

TaskHandle Tasks::TryStart(const std::string& name, TaskRoutine routine, uint32_t param) {
  auto task = std::make_shared<Task>(name, *this);
  Record(task);
  if (!pool_->Launch(task, routine, param)) {
    Reap();  // ended threads may be what held the resources
    if (!pool_->Launch(task, routine, param)) {
      task->CloseWakeFd();
      task->running = false;
      task->MarkFinished();
      Unrecord(task);
      return nullptr;
    }
  }
  return task;
}

TaskHandle Tasks::Start(const std::string& name, TaskRoutine routine, uint32_t param) {
  TaskHandle task = TryStart(name, std::move(routine), param);
  if (!task) failures_.CannotStart(name);
  return task;
}

void Tasks::RequestStop(const TaskHandle& task) {
  if (!task) return;
  if (task->stop.request_stop()) task->Wake();
  // A task held at the pause gate wakes through its stop token.
}

void Tasks::Stop(TaskHandle& task) {
  if (!task) return;
  RequestStop(task);
  task->Join();  // returns at once on the task's own thread
  task.reset();
}

bool Tasks::Running(const TaskHandle& task) { return task && task->running.load(); }

std::string Tasks::Name(const TaskHandle& task) { return task ? task->name : std::string(); }

void Tasks::Reap() {
  std::vector<TaskHandle> ended;
  {
    std::lock_guard<std::mutex> lock(table_->mu);
    for (int i = 1; i <= table_->highest; ++i) {
      if (table_->slots[i] && !table_->slots[i]->running.load())
        ended.push_back(std::move(table_->slots[i]));
    }
    std::erase_if(table_->overflow, [&](TaskHandle& t) {
      if (t->running.load()) return false;
      ended.push_back(std::move(t));
      return true;
    });
  }
  for (auto& task : ended) task->Join();  // already returned: a short wait at most
}

void Tasks::StartReaper() {
  std::lock_guard<std::mutex> lock(table_->mu);
  if (table_->reaper) return;
  // Started under the table's lock: Record takes it only after the thread
  // is asked for, and the reaper's first round comes 30 s later.
  table_->reaper = std::make_shared<Task>("Task reaper", *this);
  TaskHandle reaper = table_->reaper;
  TaskRoutine routine = [this](uint32_t) -> uint32_t {
    while (TaskSleep(30000)) Reap();
    return 0;
  };
  if (!pool_->Launch(reaper, routine, 0)) {
    table_->reaper.reset();
    return;
  }
  table_->overflow.push_back(reaper);
}

void Tasks::SuspendAll() {
  std::lock_guard<std::mutex> lock(gate_->mu);
  gate_->suspended = true;
  gate_->suspended_flag = true;
}

void Tasks::ResumeAll() {
  {
    std::lock_guard<std::mutex> lock(gate_->mu);
    gate_->suspended = false;
    gate_->suspended_flag = false;
  }
  gate_->cv.notify_all();
}

int Tasks::SlotsInUse() const {
  std::lock_guard<std::mutex> lock(table_->mu);
  int n = 0;
  for (int i = 1; i <= table_->highest; ++i) n += table_->slots[i] ? 1 : 0;
  return n;
}

void Tasks::StopAll(int timeout_ms) {
  std::vector<TaskHandle> all;
  {
    std::lock_guard<std::mutex> lock(table_->mu);
    for (int i = 1; i <= table_->highest; ++i)
      if (table_->slots[i]) all.push_back(table_->slots[i]);
    all.insert(all.end(), table_->overflow.begin(), table_->overflow.end());
    table_->reaper.reset();
  }
  for (auto& task : all) RequestStop(task);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (auto& task : all) {
    if (task.get() == CurrentTask()) continue;
    while (task->running.load() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!task->running.load()) task->Join();
  }
  Reap();
}

}  // namespace netrove
