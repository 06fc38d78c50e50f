// Kept apart from the other task tests: it fills the whole table, and the
// highest slot number is never lowered again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

#include "runtime/tasks.h"

namespace netrove {
namespace {

// Past the 1000 slots a task still starts and runs, unrecorded.
TEST(TaskTable, PastAllSlotsTasksStillRunAndAreReaped) {
  ReapTasks();
  const int base = TaskSlotsInUse();
  const int total = kTaskSlots - base + 5;
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
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  auto wait = [&](auto done) {
    while (!done() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  };
  wait([&] { return started.load() == total; });
  EXPECT_EQ(started.load(), total);
  EXPECT_EQ(TaskSlotsInUse(), kTaskSlots);
  EXPECT_EQ(HighestTaskSlot(), kTaskSlots);
  // A stop request reaches an unrecorded task too.
  std::atomic<bool> stopped{false};
  TaskHandle sleeper = StartTask("Skip url", [&](uint32_t) -> uint32_t {
    stopped = !TaskSleep(60000);
    return 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  StopTask(sleeper);
  EXPECT_TRUE(stopped.load());
  release.count_down();
  wait([&] { return finished.load() == total; });
  for (auto& t : tasks) wait([&] { return !TaskRunning(t); });
  EXPECT_EQ(finished.load(), total);
  tasks.clear();
  ReapTasks();
  EXPECT_EQ(TaskSlotsInUse(), base);
}

}  // namespace
}  // namespace netrove
