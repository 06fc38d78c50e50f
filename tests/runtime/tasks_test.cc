// The task table (slots, overflow, stops, the pause gate, reused threads)
// and the process-wide halt, exit chain, stop signals and uncaught errors.
#include "runtime/tasks.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>

#include <latch>

#include "lib/test_context.h"
#include "runtime/program.h"
#include "runtime/signals.h"
#include "runtime/terminal.h"

namespace netrove {
namespace {

using testing::WaitUntil;
void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A table on the simulated clock (sleeps wait for Advance); failures recorded.
class TaskTest : public ::testing::Test, public testing::FailingTaskFailures {
 protected:
  void RuntimeError(const std::string& name) override { errors_.push_back(name); }
  bool AllEnded(const std::vector<TaskHandle>& list, int ms = 3000) {
    return WaitUntil([&] { return std::none_of(list.begin(), list.end(), &Tasks::Running); }, ms);
  }
  testing::FakeEnv env_{testing::FakeEnv::ClockMode::kManual};
  std::vector<std::string> errors_;
  Tasks tasks_{env_, *this};
};

// Rounds of 50 tasks started from two threads at once, then a round past
// all slots: each task gets a slot (beyond them it runs unrecorded), its
// name and parameter; ended tasks hold no descriptor while they wait to be
// reaped (short connections must not use them up); slots are taken again.
TEST_F(TaskTest, ConcurrentStartsTakeDistinctSlotsOverflowAndAreReaped) {
  std::atomic<int> ran{0}, misnamed{0};
  const int fds_before = testing::CountOpenFds();
  for (int round = 0, each = 25; round < 9; ++round, each = round < 8 ? 25 : kTaskSlots / 2 + 3) {
    std::latch release(1);
    std::vector<TaskHandle> started[2];
    std::vector<std::thread> starters;
    for (int s = 0; s < 2; ++s)
      starters.emplace_back([&, s] {
        for (int i = 0; i < each; ++i) {
          std::string name = "Socket " + std::to_string(round * 10000 + s * 1000 + i);
          auto routine = [&, name](uint32_t param) -> uint32_t {
            misnamed += CurrentTaskName() != name || param != 7;
            release.wait();
            return ++ran;
          };
          started[s].push_back(tasks_.Start(name, routine, 7));
        }
      });
    for (auto& t : starters) t.join();
    EXPECT_EQ(tasks_.SlotsInUse(), std::min(2 * each, kTaskSlots)) << "round " << round;
    if (round == 8) {  // a stop reaches an unrecorded task too
      std::atomic<bool> stopped{false};
      TaskHandle sleeper =
          tasks_.Start("Skip url", [&](uint32_t) { return stopped = !TaskSleep(60000); });
      ASSERT_TRUE(WaitUntil([&] { return env_.Sleepers() == 1; }));
      Tasks::Stop(sleeper);
      EXPECT_TRUE(stopped.load());
    }
    release.count_down();
    for (auto& list : started) ASSERT_TRUE(AllEnded(list, 30000));
    EXPECT_LE(testing::CountOpenFds(), fds_before + 1) << "round " << round;
    tasks_.Reap();
    ASSERT_EQ(tasks_.SlotsInUse(), 0) << "round " << round;
  }
  EXPECT_EQ(std::make_pair(ran.load(), misnamed.load()), std::make_pair(400 + kTaskSlots + 6, 0));
}

TEST_F(TaskTest, SuspendedTasksMakeNoProgressUntilResumedAndStillStop) {
  std::atomic<int> count{0};
  TaskHandle counter = tasks_.Start("Calc CPS", [&](uint32_t) -> uint32_t {
    while (TaskSleep(1)) ++count;
    return 0;
  });
  auto tick = [&](int n) {
    for (int i = 0; i < n; ++i, Pause(1)) env_.Advance(1);
  };
  tick(20);
  ASSERT_GT(count.load(), 0);
  tasks_.SuspendAll();
  tick(5);  // it reaches the gate
  int held = count.load();
  tick(50);
  EXPECT_EQ(count.load(), held);
  EXPECT_TRUE(TaskSleep(1));  // the test's own thread is not held by the gate
  tasks_.ResumeAll();
  ASSERT_TRUE(WaitUntil([&] { return tick(1), count.load() > held + 5; }));
  tasks_.SuspendAll();
  Tasks::Stop(counter);  // a suspended task still ends when stopped
  tasks_.ResumeAll();
}

// A stop ends a poll without end (-1, ECANCELED) and returns only when
// what the routine captured is gone (its sockets closed); the task leaves
// its thread to the next task, which has its own name and is neither
// stopped nor woken by the earlier stop.
TEST_F(TaskTest, ATaskOnAReusedThreadStartsCleanAndStopWaitsForTheCaptures) {
  testing::Pipe pipe;
  struct pollfd p = {pipe.fd[0], POLLIN, 0};
  std::atomic<bool> released{false};
  auto held = std::shared_ptr<int>(new int, [&](int* p) {
    delete p;
    Pause(50);
    released = true;
  });
  std::thread::id stopped_on;
  std::atomic<int> result{0};
  TaskHandle waiter = tasks_.Start("Skip url", [&, held](uint32_t) -> uint32_t {
    stopped_on = std::this_thread::get_id();
    return result = TaskPoll(&p, 1, -1) == -1 && errno == ECANCELED;
  });
  held.reset();
  Pause(30);  // let it block
  ASSERT_TRUE(Tasks::Running(waiter));
  Tasks::Stop(waiter);
  EXPECT_EQ(result.load(), 1);
  EXPECT_TRUE(released.load());
  Pause(100);  // its thread goes idle
  bool reused = false;
  for (int i = 0; i < 20 && !reused; ++i) {
    std::string name = "Socket " + std::to_string(i);
    std::thread::id ran_on;
    bool stop_seen = true;
    int polled = -2;
    TaskHandle task = tasks_.Start(name, [&](uint32_t) -> uint32_t {
      ran_on = std::this_thread::get_id();
      EXPECT_EQ(CurrentTaskName(), name);
      stop_seen = TaskStopRequested();
      polled = TaskPoll(&p, 1, 20);
      return 0;
    });
    ASSERT_TRUE(AllEnded({task}));
    EXPECT_FALSE(stop_seen) << name;
    EXPECT_EQ(polled, 0) << name;  // a time-out, not a stop
    reused = ran_on == stopped_on;
  }
  EXPECT_TRUE(reused) << "no task ran on the thread of an ended one";
}

// At exit a task that does not stop costs the time-out, no more: StopAll
// returns, the task runs on; an exception in a task is its run-time error.
TEST_F(TaskTest, StopAllIsBoundedAndRuntimeErrorsAreReported) {
  std::atomic<bool> release{false}, started{false};
  TaskHandle stubborn = tasks_.Start("Stubborn", [&](uint32_t) -> uint32_t {
    for (started = true; !release;) Pause(1);
    return 0;
  });
  TaskHandle sleeper = tasks_.Start("Sleeper", [](uint32_t) { return TaskSleep(60000); });
  ASSERT_TRUE(WaitUntil([&] { return started && env_.Sleepers() == 1; }));
  EXPECT_LT(testing::MsTaken([&] { tasks_.StopAll(200); }), 5000);
  EXPECT_TRUE(Tasks::Running(stubborn));
  EXPECT_FALSE(Tasks::Running(sleeper));
  release = true;
  Tasks::Stop(stubborn);
  TaskHandle thrower =
      tasks_.Start("Socket 124", [](uint32_t) -> uint32_t { throw std::runtime_error("boom"); });
  ASSERT_TRUE(AllEnded({thrower}));
  EXPECT_EQ(errors_, std::vector<std::string>{"Socket 124"});
}

// --- Process-wide: `body` runs in a child with the signal handlers and a
// pseudo-terminal in raw mode, output to a pipe, SIGALRM after 10 s.
struct Child {
  explicit Child(const std::function<void(SharedState&)>& body) {
    openpty(&master, &slave, nullptr, nullptr, nullptr);
    testing::Pipe out;
    pid_t child = fork();
    if (child == 0) {
      alarm(10);
      dup2(out.fd[1], 1);
      SharedState shared;
      InstallSignalHandlers(shared.control_request, shared.reload_requested);
      EnterRawMode(slave);
      body(shared);
      _exit(0);
    }
    close(out.fd[1]);
    out.fd[1] = -1;
    char buf[256];
    for (ssize_t n; (n = read(out.fd[0], buf, sizeof buf)) > 0;) output.append(buf, size_t(n));
    waitpid(child, &status, 0);
  }
  ~Child() {
    close(master);
    close(slave);
  }
  bool Cooked() const {  // line editing and echo are back
    struct termios t;
    return tcgetattr(slave, &t) == 0 && (t.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO);
  }
  bool Exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
  int master = -1, slave = -1, status = 0;
  std::string output;
};

// The exit chain runs backwards, once, without removed procedures; one that
// halts again (a fatal error while exiting) ends the process with its code.
TEST(ProgramHalt, ExitChainRunsBackwardsOnceAndMayHaltAgain) {
  Child c([](SharedState&) {
    AddExitProc([] { std::printf("first added\n"); });
    uint64_t gone = AddExitProc([] { std::printf("removed\n"); });
    AddExitProc([] {
      std::printf("last added\n");
      std::fflush(stdout);
      HaltProgram(99);
    });
    RemoveExitProc(gone);
    HaltProgram(0);
  });
  EXPECT_TRUE(c.Exited(99)) << c.status;
  EXPECT_EQ(c.output, "last added\n");
}

[[noreturn]] void ThrowOnMain() { throw std::logic_error("main failed"); }

TEST(ProgramHalt, UncaughtExceptionOnMainNamesMainAndRestoresTheTerminal) {
  Child c([](SharedState&) {
    []() noexcept { ThrowOnMain(); }();  // so the test framework does not catch it
  });
  EXPECT_TRUE(WIFSIGNALED(c.status) && WTERMSIG(c.status) == SIGABRT) << c.status;
  EXPECT_NE(c.output.find("Error in thread main\n"), std::string::npos) << c.output;
  EXPECT_TRUE(c.Cooked());
}

// The first SIGTERM asks for an orderly stop, which a clearing of the
// requests just after it keeps; the second ends the process at once with
// 128 + 15, the terminal put back.
TEST(Signals, FirstStopsInOrderAndSurvivesAClearSecondEndsTheProcess) {
  Child c([](SharedState& shared) {
    raise(SIGTERM);
    ClearControlRequestKeepingSignalStop(shared);
    struct pollfd p = {SignalWakeFd(), POLLIN, 0};
    bool orderly = shared.control_request.load() == kRequestStop && StopSignalCount() == 1 &&
                   LastStopSignal() == SIGTERM && poll(&p, 1, 1000) == 1 && TerminalRaw();
    (void)!write(1, orderly ? "y" : "n", 1);
    raise(SIGTERM);
  });
  EXPECT_EQ(c.output.substr(0, 1), "y");
  EXPECT_TRUE(c.Exited(128 + SIGTERM)) << c.status;
  EXPECT_TRUE(c.Cooked());
}

}  // namespace
}  // namespace netrove
