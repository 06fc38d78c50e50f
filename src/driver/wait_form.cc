// WAIT <time>: waits until a clock time ("H:MM") or for a number of
// minutes, then ends the process with exit code 0.
//
// With a console it prints "Press ESC to abort"; the task "ReadKey" ends the
// process (exit code 0) when ESC is pressed, and the task "WriteTime"
// rewrites the status line with the time left every second and ends the
// process once the target has passed. Without a console it waits silently,
// which makes it usable in scripts. A SIGINT or SIGTERM ends the wait early
// with exit code 128 + the signal number, so a script can tell an
// interrupted wait from a completed one.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "accounting/clock.h"
#include "driver/forms.h"
#include "runtime/console.h"
#include "runtime/program.h"
#include "runtime/shared_state.h"
#include "runtime/signals.h"
#include "runtime/tasks.h"

namespace netrove {
namespace {

constexpr int kEscKey = 27;

uint32_t WatchKeys(uint32_t) {
  while (!TaskStopRequested()) {
    if (ReadKey() == kEscKey) HaltProgram(0);
  }
  return 0;
}

uint32_t ShowTimeLeft(uint32_t target) {
  for (;;) {
    uint32_t now = NowSeconds();
    if (now >= target) HaltProgram(0);
    ConsoleStatusLine(FormatDuration(target - now));
    ConsoleFlush();
    if (!TaskSleep(1000)) return 0;
  }
}

[[noreturn]] void EndOnStopRequest() {
  int sig = LastStopSignal();
  HaltProgram(sig > 0 ? 128 + sig : 0);
}

}  // namespace

void RunWaitForm(const std::string& time_text) {
  const uint32_t target = NextTimeOf(NowSeconds(), time_text);
  if (ConsolePresent()) {
    ConsoleWriteLine("Press ESC to abort");
    StartTask("ReadKey", WatchKeys);
    StartTask("WriteTime", ShowTimeLeft, target);
  }
  const int wake_fd = SignalWakeFd();
  for (;;) {
    if (Shared().control_request.load() == kRequestStop) EndOnStopRequest();
    uint32_t now = NowSeconds();
    if (now >= target) HaltProgram(0);
    int wait_ms = static_cast<int>(std::min<uint32_t>(target - now, 1) * 1000);
    if (wake_fd >= 0) {
      struct pollfd p = {wake_fd, POLLIN, 0};
      (void)poll(&p, 1, wait_ms);  // a signal or the time: both are checked above
    } else {
      (void)TaskSleep(wait_ms);
    }
  }
}

}  // namespace netrove
