// Named tasks: the table under concurrent starts, stop requests, the pause
// gate, run-time error reports and the stop signals.
#include "runtime/tasks.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/console.h"
#include "runtime/log.h"
#include "runtime/program.h"
#include "runtime/shared_state.h"
#include "runtime/signals.h"
#include "runtime/terminal.h"

namespace netrove {
namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<Ms>(Clock::now() - start).count();
}

// Waits (bounded) until `done` holds.
bool WaitFor(const std::function<bool()>& done, int limit_ms = 5000) {
  auto start = Clock::now();
  while (!done()) {
    if (MsSince(start) > limit_ms) return false;
    std::this_thread::sleep_for(Ms(1));
  }
  return true;
}

// 2000 tasks in rounds of 50, started from two threads at once while the
// round's tasks are all alive: every task gets a slot of its own and runs
// under its own name; reaped slots are reused from the bottom, so the
// highest slot stays near the round size.
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
          auto routine = [&, name](uint32_t param) -> uint32_t {
            if (CurrentTaskName() != name || param != 7) ++misnamed;
            release.wait();
            ++ran;
            return 0;
          };
          tasks[s].push_back(StartTask(name, routine, 7));
        }
      });
    }
    for (auto& t : starters) t.join();
    EXPECT_EQ(TaskSlotsInUse(), base_in_use + kRound) << "round " << round;
    release.count_down();
    for (auto& list : tasks)
      for (auto& t : list) ASSERT_TRUE(WaitFor([&] { return !TaskRunning(t); })) << TaskName(t);
    ReapTasks();
    ASSERT_EQ(TaskSlotsInUse(), base_in_use) << "round " << round;
  }
  EXPECT_EQ(ran.load(), kRounds * kRound);
  EXPECT_EQ(misnamed.load(), 0);
  EXPECT_LE(HighestTaskSlot(), std::max(base_highest, base_in_use + kRound));
}

TEST(TaskStop, EndsLongWaitsWithin100ms) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  struct pollfd p = {fds[0], POLLIN, 0};
  auto ends_at_once = [](const char* name, TaskRoutine routine) {
    TaskHandle task = StartTask(name, routine);
    std::this_thread::sleep_for(Ms(30));  // let it block
    ASSERT_TRUE(TaskRunning(task)) << name;
    auto start = Clock::now();
    StopTask(task);
    EXPECT_LT(MsSince(start), 100) << name;
  };
  std::atomic<int> result{1}, error{0};
  ends_at_once("Sleeper", [&](uint32_t) { return result = TaskSleep(10 * 60 * 1000); });
  EXPECT_EQ(result.load(), 0);  // false: stopped, not slept out
  ends_at_once("Poller", [&](uint32_t) {
    result = TaskPoll(&p, 1, 10 * 60 * 1000);
    return error = errno;
  });
  EXPECT_EQ(result.load(), -1);
  EXPECT_EQ(error.load(), ECANCELED);
  result = 0;
  ends_at_once("Endless poller", [&](uint32_t) { return result = TaskPoll(&p, 1, -1); });
  EXPECT_EQ(result.load(), -1);
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
  std::this_thread::sleep_for(Ms(30));  // reach the gate
  int held = count.load();
  std::this_thread::sleep_for(Ms(150));
  EXPECT_EQ(count.load(), held);
  auto start = Clock::now();  // the front-end's thread is not held by the gate
  EXPECT_TRUE(TaskSleep(5));
  EXPECT_LT(MsSince(start), 1000);
  ResumeAllTasks();
  EXPECT_TRUE(WaitFor([&] { return count.load() > held + 5; }));
  // A suspended task still ends at once when stopped.
  SuspendAllTasks();
  std::this_thread::sleep_for(Ms(20));
  start = Clock::now();
  StopTask(counter);
  EXPECT_LT(MsSince(start), 100);
  ResumeAllTasks();
}

// Runs `body` in a child process whose standard output is a pipe; returns
// what it printed, and its wait status through `status`.
std::string InChild(const std::function<void()>& body, int& status) {
  int fds[2];
  if (pipe(fds) != 0) return "<no pipe>";
  pid_t child = fork();
  if (child == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    body();
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[256];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  close(fds[0]);
  waitpid(child, &status, 0);
  return out;
}

// A pseudo-terminal a child puts into raw mode; Cooked() tells whether line
// editing and echo are back.
struct Pty {
  Pty() { openpty(&master, &slave, nullptr, nullptr, nullptr); }
  ~Pty() {
    close(master);
    close(slave);
  }
  bool Cooked() const {
    struct termios t;
    return tcgetattr(slave, &t) == 0 && (t.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO);
  }
  int master = -1, slave = -1;
};

// An ended task holds no descriptor while it waits to be reaped: a burst
// of short client tasks must not run the process out of descriptors.
TEST(TaskTable, EndedTasksReleaseTheirDescriptorsBeforeTheyAreReaped) {
  ReapTasks();
  auto open_fds = [] {
    int n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
  };
  const int before = open_fds();
  std::vector<TaskHandle> tasks;
  for (int i = 0; i < 100; ++i)
    tasks.push_back(StartTask("short", [](uint32_t) -> uint32_t { return TaskSleep(1) ? 0 : 1; }));
  ASSERT_TRUE(WaitFor([&] {
    for (auto& t : tasks)
      if (TaskRunning(t)) return false;
    return true;
  }));
  EXPECT_LE(open_fds(), before + 1);  // not reaped yet, nothing held
  for (auto& t : tasks) StopTask(t);
}

// An exit procedure that fails fatally while the program halts ends the
// process with the fatal error's code instead of waiting on itself.
TEST(ProgramHalt, FatalErrorInsideTheExitChainEndsTheProcess) {
  int status = 0;
  std::string out = InChild(
      [] {
        alarm(10);  // a halt that waits on itself is ended by SIGALRM
        SetConsolePresentForTesting(false);
        AddExitProc([] { FatalError("exit procedure failed"); });
        HaltProgram(0);
      },
      status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 99) << status;
  EXPECT_EQ(out, "Error: exit procedure failed\n");
}

TEST(TaskError, UncaughtExceptionIsReportedWithTheTaskName) {
  int status = 0;
  std::string out = InChild(
      [&] {
        SetConsolePresentForTesting(false);
        SetLogProc([](const std::string& m) {
          std::printf("log: %s\n", m.c_str());
          return m;
        });
        TaskHandle task =
            StartTask("Socket 124", [](uint32_t) -> uint32_t { throw std::runtime_error("boom"); });
        WaitFor([&] { return !TaskRunning(task); });
        StopTask(task);  // joins the ended thread
        std::printf("restart=%d request=%d\n", Shared().restart_requested.load(),
                    Shared().control_request.load());
        std::fflush(stdout);
      },
      status);
  EXPECT_EQ(out, "Error in thread Socket 124\nlog: Run-time error code " +
                     std::to_string(kRuntimeErrorCode) +
                     "\nrestart=1 request=" + std::to_string(kRequestStop) + "\n");
}

[[noreturn]] void ThrowOnMain() { throw std::logic_error("main failed"); }

TEST(TaskError, UncaughtExceptionOnMainNamesMainAndRestoresTheTerminal) {
  Pty pty;
  int status = 0;
  std::string out = InChild(
      [&] {
        InstallSignalHandlers();
        EnterRawMode(pty.slave);
        // Through a noexcept frame, so the test framework does not catch it.
        [&]() noexcept { ThrowOnMain(); }();
      },
      status);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
  EXPECT_NE(out.find("Error in thread main\n"), std::string::npos) << out;
  EXPECT_TRUE(pty.Cooked());
}

// The first SIGTERM asks for an orderly stop; the second ends the process
// at once with 128 + 15, the terminal put back.
TEST(Signals, FirstStopsInOrderSecondEndsTheProcess) {
  Pty pty;
  int status = 0;
  std::string out = InChild(
      [&] {
        InstallSignalHandlers();
        EnterRawMode(pty.slave);
        Shared().control_request = kRequestNone;
        raise(SIGTERM);
        struct pollfd p = {SignalWakeFd(), POLLIN, 0};
        bool orderly = Shared().control_request.load() == kRequestStop && StopSignalCount() == 1 &&
                       LastStopSignal() == SIGTERM && poll(&p, 1, 1000) == 1 && TerminalRaw();
        (void)!write(1, orderly ? "y" : "n", 1);
        raise(SIGTERM);
      },
      status);
  EXPECT_EQ(out.substr(0, 1), "y");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
  EXPECT_TRUE(pty.Cooked());
}

}  // namespace
}  // namespace netrove
