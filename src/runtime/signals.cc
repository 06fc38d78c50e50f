#include "runtime/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>

#include "runtime/shared_state.h"
#include "runtime/tasks.h"
#include "runtime/terminal.h"

namespace netrove {
namespace {

// Owned by this module; written once by InstallSignalHandlers before any
// handler can run, then only read (and the counters only touched
// atomically).
std::atomic<int> stop_count{0};
std::atomic<int> last_signal{0};
std::atomic<int> wake_read_fd{-1};
std::atomic<int> wake_write_fd{-1};
std::atomic<std::atomic<uint8_t>*> control_request{nullptr};
std::atomic<std::atomic<bool>*> reload_request{nullptr};
std::atomic<bool> break_signal{false};
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<uint8_t>::is_always_lock_free);
static_assert(std::atomic<std::atomic<uint8_t>*>::is_always_lock_free);
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

void WriteRaw(int fd, const char* text, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<size_t>(n);
  }
}

void OnStopSignal(int sig) {
  int saved_errno = errno;
  int count = stop_count.fetch_add(1) + 1;
  last_signal.store(sig);
  if (count == 1) {
    if (auto* request = control_request.load()) request->store(kRequestStop);
    int fd = wake_write_fd.load();
    if (fd >= 0) {
      char byte = 1;
      (void)!write(fd, &byte, 1);
    }
  } else {
    RestoreTerminalFromSignal();
    WriteRaw(1, "\r\n", 2);
    _exit(128 + sig);
  }
  errno = saved_errno;
}

void OnBreakSignal(int) { break_signal.store(true); }

void OnHangupSignal(int sig) {
  if (TerminalInUse()) {
    OnStopSignal(sig);
    return;
  }
  if (auto* request = reload_request.load()) request->store(true);
}

void InstallStopKeyHandler();

// Ctrl-Z: the terminal as the user had it, then the default action (the
// process stops, unless its process group is orphaned); back here on
// SIGCONT, or at once when the stop was not taken.
void OnStopKey(int) {
  int saved_errno = errno;
  SuspendTerminalFromSignal();
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(SIGTSTP, &dfl, nullptr);
  raise(SIGTSTP);  // the handler runs with SA_NODEFER: delivered now
  InstallStopKeyHandler();
  ResumeTerminalIfForeground();
  errno = saved_errno;
}

void OnContinue(int) { ResumeTerminalIfForeground(); }

void InstallStopKeyHandler() {
  struct sigaction key = {};
  key.sa_handler = OnStopKey;
  sigemptyset(&key.sa_mask);
  key.sa_flags = SA_RESTART | SA_NODEFER;
  sigaction(SIGTSTP, &key, nullptr);
}

void OnFatalSignal(int sig) {
  RestoreTerminalFromSignal();
  // The handler was installed with SA_RESETHAND: this takes the default
  // action (core dump or end) with the terminal usable again.
  raise(sig);
}

void OnTerminate() {
  RestoreTerminalFromSignal();
  std::string line = "\r\nError in thread " + CurrentTaskName() + "\n";
  WriteRaw(1, line.data(), line.size());
  std::abort();
}

void Install() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    wake_read_fd.store(fds[0]);
    wake_write_fd.store(fds[1]);
  }
  struct sigaction stop = {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  stop.sa_flags = SA_RESTART;
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);

  struct sigaction brk = {};
  brk.sa_handler = OnBreakSignal;
  sigemptyset(&brk.sa_mask);
  brk.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &brk, nullptr);

  // Started with SIGHUP ignored (nohup): it stays ignored.
  struct sigaction hup = {};
  if (sigaction(SIGHUP, nullptr, &hup) == 0 &&
      ((hup.sa_flags & SA_SIGINFO) != 0 || hup.sa_handler != SIG_IGN)) {
    hup = {};
    hup.sa_handler = OnHangupSignal;
    sigemptyset(&hup.sa_mask);
    hup.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &hup, nullptr);
  }

  // Log lines go to standard output without a console: a reader that went
  // away (a pipe to head, a journal restarted) makes writes fail, never
  // ends the program. Programs it starts get the default back.
  signal(SIGPIPE, SIG_IGN);

  InstallStopKeyHandler();
  struct sigaction cont = {};
  cont.sa_handler = OnContinue;
  sigemptyset(&cont.sa_mask);
  cont.sa_flags = SA_RESTART;
  sigaction(SIGCONT, &cont, nullptr);

  struct sigaction fatal = {};
  fatal.sa_handler = OnFatalSignal;
  sigemptyset(&fatal.sa_mask);
  fatal.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
    struct sigaction old = {};
    if (sigaction(sig, nullptr, &old) != 0) continue;
    bool default_action = (old.sa_flags & SA_SIGINFO) == 0 && old.sa_handler == SIG_DFL;
    if (default_action) sigaction(sig, &fatal, nullptr);
  }

  std::set_terminate(OnTerminate);
}

}  // namespace

void InstallSignalHandlers(std::atomic<uint8_t>& request, std::atomic<bool>& reload) {
  control_request.store(&request);
  reload_request.store(&reload);
  static std::once_flag once;
  std::call_once(once, Install);
}

bool TakeBreakSignal() { return break_signal.exchange(false); }

int StopSignalCount() { return stop_count.load(); }
int LastStopSignal() { return last_signal.load(); }
int SignalWakeFd() { return wake_read_fd.load(); }

void ClearControlRequestKeepingSignalStop(SharedState& shared) {
  // The handler counts before it stores the request: a signal counted after
  // this check stores its stop after the clear.
  shared.control_request.store(kRequestNone);
  if (stop_count.load() > 0 || shared.stop_held.load()) shared.control_request.store(kRequestStop);
}

}  // namespace netrove
