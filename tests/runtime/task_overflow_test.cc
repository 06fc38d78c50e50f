// Kept apart from the other task tests: it fills the whole table, and the
// highest slot number is never lowered again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "runtime/tasks.h"

namespace netrove {
namespace {

TEST(TaskTable, PastAllSlotsTasksStillRunAndAreReaped) {
  ReapTasks();
  const int base = TaskSlotsInUse();
  const int extra = 5;
  const int total = kTaskSlots - base + extra;
  std::latch release(1);
  std::atomic<int> started{0}, finished{0};
  std::vector<TaskHandle> tasks;
  for (int i = 0; i < total; ++i) {
    tasks.push_back(StartTask("Read user mail", [&](uint32_t) -> uint32_t {
      ++started;
      release.wait();
      ++finished;
      return 0;
    }));
  }
  // Every task runs, also the ones no slot was left for.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (started.load() < total && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(started.load(), total);
  EXPECT_EQ(TaskSlotsInUse(), kTaskSlots);
  EXPECT_EQ(HighestTaskSlot(), kTaskSlots);
  for (auto& t : tasks) EXPECT_EQ(TaskName(t), "Read user mail");

  // A stop request reaches the overflow tasks too.
  std::atomic<bool> overflow_stopped{false};
  TaskHandle sleeper = StartTask("Skip url", [&](uint32_t) -> uint32_t {
    overflow_stopped = !TaskSleep(60000);
    return 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  StopTask(sleeper);
  EXPECT_TRUE(overflow_stopped.load());

  release.count_down();
  for (auto& t : tasks) {
    while (TaskRunning(t) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(finished.load(), total);
  tasks.clear();
  ReapTasks();
  EXPECT_EQ(TaskSlotsInUse(), base);
}

}  // namespace
}  // namespace netrove
