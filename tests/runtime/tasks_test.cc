#include "runtime/tasks.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <latch>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/console.h"
#include "runtime/log.h"
#include "runtime/shared_state.h"
#include "runtime/signals.h"

namespace netrove {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Waits (bounded) until `done` holds.
template <typename Pred>
bool WaitFor(Pred done, int limit_ms = 5000) {
  auto start = Clock::now();
  while (!done()) {
    if (MsSince(start) > limit_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void WaitEnded(std::vector<TaskHandle>& tasks) {
  for (auto& t : tasks) ASSERT_TRUE(WaitFor([&] { return !TaskRunning(t); })) << TaskName(t);
}

// 2000 tasks in rounds of 50, started from two threads at once while the
// round's tasks are all alive: every task gets a slot of its own, runs
// under its own name, and after reaping the slots are reused from the
// bottom, so the highest slot stays near the round size.
TEST(TaskTable, ConcurrentStartsTakeDistinctSlotsAndAreReaped) {
  ReapTasks();
  const int base_in_use = TaskSlotsInUse();
  const int base_highest = HighestTaskSlot();
  constexpr int kRounds = 40, kPerStarter = 25, kStarters = 2;
  constexpr int kRound = kPerStarter * kStarters;
  std::atomic<int> ran{0}, misnamed{0};

  for (int round = 0; round < kRounds; ++round) {
    std::latch release(1);
    std::vector<TaskHandle> tasks[kStarters];
    std::vector<std::thread> starters;
    for (int s = 0; s < kStarters; ++s) {
      starters.emplace_back([&, s] {
        for (int i = 0; i < kPerStarter; ++i) {
          std::string name = "Socket " + std::to_string(round * 1000 + s * 100 + i);
          tasks[s].push_back(StartTask(
              name,
              [&, name](uint32_t param) -> uint32_t {
                if (CurrentTaskName() != name || param != 7) ++misnamed;
                release.wait();
                ++ran;
                return 0;
              },
              7));
        }
      });
    }
    for (auto& t : starters) t.join();
    EXPECT_EQ(TaskSlotsInUse(), base_in_use + kRound) << "round " << round;
    release.count_down();
    for (auto& list : tasks) WaitEnded(list);
    ReapTasks();
    ASSERT_EQ(TaskSlotsInUse(), base_in_use) << "round " << round;
  }
  EXPECT_EQ(ran.load(), kRounds * kRound);
  EXPECT_EQ(misnamed.load(), 0);
  EXPECT_LE(HighestTaskSlot(), std::max(base_highest, base_in_use + kRound));
}

TEST(TaskTable, NamesAndHandles) {
  TaskHandle task = StartTask("Proxy cache clear task", [](uint32_t) -> uint32_t {
    while (TaskSleep(10)) {
    }
    return 0;
  });
  EXPECT_EQ(TaskName(task), "Proxy cache clear task");
  EXPECT_TRUE(TaskRunning(task));
  EXPECT_EQ(CurrentTaskName(), "main");
  StopTask(task);
  EXPECT_EQ(task, nullptr);
  StopTask(task);  // a null handle is fine
  RequestTaskStop(nullptr);
  EXPECT_FALSE(TaskRunning(nullptr));
}

// Stop requests reach every kind of wait at once.
TEST(TaskStop, EndsLongWaitsWithin100ms) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  std::atomic<int> poll_result{0}, poll_errno{0};
  std::atomic<bool> sleep_result{true};

  struct Case {
    const char* name;
    TaskRoutine routine;
  };
  Case cases[] = {
      {"Sleeper",
       [&](uint32_t) -> uint32_t {
         sleep_result = TaskSleep(10 * 60 * 1000);
         return 0;
       }},
      {"Poller",
       [&](uint32_t) -> uint32_t {
         struct pollfd p = {fds[0], POLLIN, 0};
         poll_result = TaskPoll(&p, 1, 10 * 60 * 1000);
         poll_errno = errno;
         return 0;
       }},
      {"Endless poller",
       [&](uint32_t) -> uint32_t {
         struct pollfd p = {fds[0], POLLIN, 0};
         return static_cast<uint32_t>(TaskPoll(&p, 1, -1));
       }},
  };
  for (auto& c : cases) {
    TaskHandle task = StartTask(c.name, c.routine);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // let it block
    ASSERT_TRUE(TaskRunning(task)) << c.name;
    auto start = Clock::now();
    StopTask(task);
    EXPECT_LT(MsSince(start), 100) << c.name;
  }
  EXPECT_FALSE(sleep_result.load());
  EXPECT_EQ(poll_result.load(), -1);
  EXPECT_EQ(poll_errno.load(), ECANCELED);
  close(fds[0]);
  close(fds[1]);
}

TEST(TaskStop, TaskPollStillSeesDataAndTimeouts) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  std::atomic<int> timed_out{-2}, ready{-2};
  TaskHandle task = StartTask("Poller", [&](uint32_t) -> uint32_t {
    struct pollfd p = {fds[0], POLLIN, 0};
    timed_out = TaskPoll(&p, 1, 20);
    ready = TaskPoll(&p, 1, 5000);
    return 0;
  });
  ASSERT_TRUE(WaitFor([&] { return timed_out.load() != -2; }));
  EXPECT_EQ(timed_out.load(), 0);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  ASSERT_TRUE(WaitFor([&] { return ready.load() != -2; }));
  EXPECT_EQ(ready.load(), 1);
  StopTask(task);
  close(fds[0]);
  close(fds[1]);
}

TEST(TaskPause, SuspendedTasksMakeNoProgressUntilResumed) {
  std::atomic<int> count{0};
  TaskHandle counter = StartTask("Calc CPS", [&](uint32_t) -> uint32_t {
    while (TaskSleep(1)) ++count;
    return 0;
  });
  ASSERT_TRUE(WaitFor([&] { return count.load() > 5; }));

  SuspendAllTasks();
  EXPECT_TRUE(TasksSuspended());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // reach the gate
  int held = count.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(count.load(), held);
  // The front-end's thread is not held by the gate.
  auto start = Clock::now();
  EXPECT_TRUE(TaskSleep(5));
  EXPECT_LT(MsSince(start), 1000);

  ResumeAllTasks();
  EXPECT_FALSE(TasksSuspended());
  EXPECT_TRUE(WaitFor([&] { return count.load() > held + 5; }));

  // A suspended task still ends at once when stopped.
  SuspendAllTasks();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  start = Clock::now();
  StopTask(counter);
  EXPECT_LT(MsSince(start), 100);
  ResumeAllTasks();
}

// Points fd 1 at a file for the scope, so what the console prints can be read.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    std::snprintf(path_, sizeof path_, "/tmp/netrove_out_XXXXXX");
    int fd = mkstemp(path_);
    saved_ = dup(1);
    dup2(fd, 1);
    close(fd);
  }
  ~StdoutCapture() {
    Restore();
    unlink(path_);
  }
  std::string Text() {
    Restore();
    std::ifstream in(path_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
  }
  char path_[64];
  int saved_ = -1;
};

TEST(TaskError, UncaughtExceptionIsReportedWithTheTaskName) {
  SetConsolePresentForTesting(false);
  char log_path[] = "/tmp/netrove_log_XXXXXX";
  int log_fd = mkstemp(log_path);
  ASSERT_GE(log_fd, 0);
  close(log_fd);
  unlink(log_path);
  SetLogFileName(log_path);
  Shared().restart_requested = false;
  Shared().control_request = kRequestNone;

  std::atomic<bool> after_throw{false};
  std::string out;
  {
    StdoutCapture capture;
    TaskHandle task = StartTask("Socket 124", [&](uint32_t param) -> uint32_t {
      if (param == 0) throw std::runtime_error("boom");
      after_throw = true;
      return 0;
    });
    ASSERT_TRUE(WaitFor([&] { return !TaskRunning(task); }));
    StopTask(task);  // joins the ended thread
    out = capture.Text();
  }
  SetLogFileName("");
  std::ifstream log(log_path);
  std::stringstream log_text;
  log_text << log.rdbuf();
  unlink(log_path);

  EXPECT_EQ(out, "Error in thread Socket 124\n");
  EXPECT_NE(log_text.str().find("Run-time error code " + std::to_string(kRuntimeErrorCode)),
            std::string::npos)
      << log_text.str();
  EXPECT_TRUE(Shared().restart_requested.load());
  EXPECT_EQ(Shared().control_request.load(), kRequestStop);
  EXPECT_FALSE(after_throw.load());
  Shared().restart_requested = false;
  Shared().control_request = kRequestNone;
}

[[noreturn]] void ThrowOnMain() { throw std::logic_error("main failed"); }

// An exception nobody catches on the front-end's thread ends the process
// with "Error in thread main".
TEST(TaskError, UncaughtExceptionOnMainNamesMain) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    InstallSignalHandlers();
    // Through a noexcept frame, so the test framework's own handler does
    // not catch it.
    [&]() noexcept { ThrowOnMain(); }();
  }
  close(fds[1]);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
  EXPECT_NE(out.find("Error in thread main\n"), std::string::npos) << out;
}

// The first SIGTERM asks for an orderly stop; the second ends the process
// at once with 128 + 15.
TEST(Signals, FirstStopsInOrderSecondEndsTheProcess) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    InstallSignalHandlers();
    Shared().control_request = kRequestNone;
    raise(SIGTERM);
    struct pollfd p = {SignalWakeFd(), POLLIN, 0};
    char report = (Shared().control_request.load() == kRequestStop && StopSignalCount() == 1 &&
                   LastStopSignal() == SIGTERM && poll(&p, 1, 1000) == 1)
                      ? 'y'
                      : 'n';
    (void)!write(fds[1], &report, 1);
    raise(SIGTERM);
    _exit(0);  // not reached
  }
  close(fds[1]);
  char report = 0;
  EXPECT_EQ(read(fds[0], &report, 1), 1);
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(report, 'y');
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
}

}  // namespace
}  // namespace netrove
