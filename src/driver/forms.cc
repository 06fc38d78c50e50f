// The small one-shot forms: WAIT and BREAK.
//
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
#include "driver/forms.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "runtime/clock.h"
#include "runtime/program.h"
#include "runtime/signals.h"

namespace netrove {
namespace {

[[noreturn]] void EndOnStopRequest() {
  int sig = LastStopSignal();
  HaltProgram(sig > 0 ? 128 + sig : 0);
}

}  // namespace

void RunWaitForm(ProgramContext& p, const std::string& time_text) {
  const uint32_t target = NextTimeOf(NowSeconds(p.env), time_text);
  if (p.console.Present()) {
    p.console.WriteLine("Press ESC to abort");
    p.tasks.Start("ReadKey", [&p](uint32_t) -> uint32_t {
      while (!TaskStopRequested()) {
        if (p.console.ReadKey() == kKeyEsc) HaltProgram(0);
      }
      return 0;
    });
    p.tasks.Start("WriteTime", [&p, target](uint32_t) -> uint32_t {
      for (;;) {
        uint32_t now = NowSeconds(p.env);
        if (now >= target) HaltProgram(0);
        p.console.StatusLine(FormatDuration(target - now));
        p.console.Flush();
        if (!TaskSleep(1000)) return 0;
      }
    });
  }
  const int wake_fd = SignalWakeFd();
  for (;;) {
    if (p.shared.control_request.load() == kRequestStop) EndOnStopRequest();
    uint32_t now = NowSeconds(p.env);
    if (now >= target) HaltProgram(0);
    int wait_ms = static_cast<int>(std::min<uint32_t>(target - now, 1) * 1000);
    if (wake_fd >= 0) {
      struct pollfd w = {wake_fd, POLLIN, 0};
      (void)poll(&w, 1, wait_ms);  // a signal or the time: both are checked above
    } else {
      (void)TaskSleep(wait_ms);
    }
  }
}

void RunBreakForm(ProgramContext& p, const std::string& name) {
  p.dialer.BreakConnections(name);
  HaltProgram(0);
}

}  // namespace netrove
