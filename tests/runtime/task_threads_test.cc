// The threads under the tasks: a thread whose task has ended runs later
// tasks, and each of them must start as a task of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "runtime/tasks.h"

namespace netrove {
namespace {

using Clock = std::chrono::steady_clock;

template <typename Pred>
bool WaitFor(Pred done, int limit_ms = 5000) {
  auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// What a task saw of itself when it started.
struct Seen {
  std::thread::id thread;
  std::string name;
  bool stop_requested = true;
  int poll_result = -2;
  bool slept = false;
};

Seen LookAround(int empty_fd) {
  Seen s;
  s.thread = std::this_thread::get_id();
  s.name = CurrentTaskName();
  s.stop_requested = TaskStopRequested();
  struct pollfd p = {empty_fd, POLLIN, 0};
  s.poll_result = TaskPoll(&p, 1, 20);
  s.slept = TaskSleep(1);
  return s;
}

// A task stopped in the middle of a wait leaves its thread to the next
// task, which has its own name and is neither stopped nor woken by the
// earlier stop.
TEST(TaskThreads, ATaskOnAReusedThreadStartsClean) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  std::thread::id stopped_on;
  TaskHandle waiter = StartTask("Skip url", [&](uint32_t) -> uint32_t {
    stopped_on = std::this_thread::get_id();
    struct pollfd p = {fds[0], POLLIN, 0};
    (void)TaskPoll(&p, 1, 60000);
    return 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  StopTask(waiter);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // its thread goes idle

  bool reused = false;
  for (int i = 0; i < 20; ++i) {
    std::string name = "Socket " + std::to_string(i);
    auto seen = std::make_shared<Seen>();
    TaskHandle task = StartTask(name, [seen, &fds](uint32_t) -> uint32_t {
      *seen = LookAround(fds[0]);
      return 0;
    });
    ASSERT_TRUE(WaitFor([&] { return !TaskRunning(task); })) << name;
    StopTask(task);
    EXPECT_EQ(seen->name, name);
    EXPECT_FALSE(seen->stop_requested) << name;
    EXPECT_EQ(seen->poll_result, 0) << name;  // a time-out, not a stop
    EXPECT_TRUE(seen->slept) << name;
    reused = reused || seen->thread == stopped_on;
  }
  EXPECT_TRUE(reused) << "no task ran on the thread of an ended one";
  close(fds[0]);
  close(fds[1]);
}

// StopTask and ReapTasks return only when the task's routine and what it
// captured are gone, although the thread itself lives on.
TEST(TaskThreads, StopAndReapWaitForWhatTheRoutineHeld) {
  struct SlowToRelease {
    explicit SlowToRelease(std::atomic<bool>* flag) : released(flag) {}
    ~SlowToRelease() {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      *released = true;
    }
    std::atomic<bool>* released;
  };
  std::atomic<bool> released{false};
  {
    auto held = std::make_shared<SlowToRelease>(&released);
    TaskHandle task = StartTask("Read mail task", [held](uint32_t) -> uint32_t {
      while (TaskSleep(10)) {
      }
      return 0;
    });
    held.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    StopTask(task);
    EXPECT_TRUE(released.load());
  }

  released = false;
  ReapTasks();
  const int base = TaskSlotsInUse();
  {
    auto held = std::make_shared<SlowToRelease>(&released);
    std::atomic<bool> returned{false};
    TaskHandle task = StartTask("Get POP3 mail", [held, &returned](uint32_t) -> uint32_t {
      returned = true;
      return 0;
    });
    held.reset();
    task.reset();  // only the table holds it now
    ASSERT_TRUE(WaitFor([&] { return returned.load() && TaskSlotsInUse() == base + 1; }));
    ASSERT_TRUE(WaitFor([&] {
      ReapTasks();
      return TaskSlotsInUse() == base;
    }));
    EXPECT_TRUE(released.load());
  }
}

// A child of fork has none of its parent's idle threads: its tasks run on
// threads of its own.
TEST(TaskThreads, TasksRunInAForkedChild) {
  TaskHandle earlier = StartTask("Calc CPS", [](uint32_t) -> uint32_t { return 0; });
  ASSERT_TRUE(WaitFor([&] { return !TaskRunning(earlier); }));
  StopTask(earlier);  // its thread now waits for the next task

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::atomic<bool> ran{false};
    TaskHandle task = StartTask("Check URL", [&](uint32_t) -> uint32_t {
      ran = true;
      return 0;
    });
    bool ok = WaitFor([&] { return ran.load(); }, 3000);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace netrove
