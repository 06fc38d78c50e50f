#include "runtime/terminal.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace netrove {
namespace {

// The saved settings. Written once before `saved_fd` is published, read by
// RestoreTerminal and by signal handlers; the atomic exchange makes sure
// only one of them restores.
struct termios saved_settings;
struct termios raw_settings;
std::atomic<int> saved_fd{-1};
std::atomic<int> suspended_fd{-1};  // raw mode left for a job-control stop
static_assert(std::atomic<int>::is_always_lock_free);

// Serialises EnterRawMode (never taken by signal handlers).
std::mutex enter_mu;

// Keys typed but not read are dropped, so they do not reach the shell.
void RestoreFd(int fd) {
  while (tcsetattr(fd, TCSANOW, &saved_settings) != 0 && errno == EINTR) {
  }
  (void)tcflush(fd, TCIFLUSH);
}

}  // namespace

bool EnterRawMode(int fd) {
  std::lock_guard<std::mutex> lock(enter_mu);
  if (saved_fd.load() >= 0 || suspended_fd.load() >= 0 || !isatty(fd)) return false;
  struct termios now;
  if (tcgetattr(fd, &now) != 0) return false;
  saved_settings = now;
  struct termios raw = now;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN);
  raw.c_lflag |= ISIG;
  raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP);
  raw.c_oflag |= OPOST | ONLCR;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &raw) != 0) return false;
  raw_settings = raw;
  saved_fd.store(fd);
  // A process that ends by returning from main still leaves the terminal
  // as it found it.
  static bool registered = false;  // guarded by enter_mu
  if (!registered) {
    registered = true;
    std::atexit([] { RestoreTerminal(); });
  }
  return true;
}

bool RestoreTerminal() {
  int fd = saved_fd.exchange(-1);
  if (fd < 0) return false;
  RestoreFd(fd);
  return true;
}

void RestoreTerminalFromSignal() {
  int saved_errno = errno;
  int fd = saved_fd.exchange(-1);
  if (fd >= 0) RestoreFd(fd);
  errno = saved_errno;
}

bool TerminalRaw() { return saved_fd.load() >= 0; }

void SuspendTerminalFromSignal() {
  int saved_errno = errno;
  int fd = saved_fd.exchange(-1);
  if (fd >= 0) {
    RestoreFd(fd);
    suspended_fd.store(fd);
  }
  errno = saved_errno;
}

void ResumeTerminalIfForeground() {
  int saved_errno = errno;
  int fd = suspended_fd.load();
  pid_t foreground = fd >= 0 ? tcgetpgrp(fd) : -1;
  if (fd >= 0 && (foreground < 0 || foreground == getpgrp())) {
    fd = suspended_fd.exchange(-1);
    if (fd >= 0) {
      while (tcsetattr(fd, TCSANOW, &raw_settings) != 0 && errno == EINTR) {
      }
      saved_fd.store(fd);
    }
  }
  errno = saved_errno;
}

bool TerminalInUse() { return saved_fd.load() >= 0 || suspended_fd.load() >= 0; }

int TerminalWidth(int fd) {
  struct winsize size;
  if (ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col < 2) return 80;
  return size.ws_col;
}

bool LocaleIsUtf8() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') continue;
    return strcasestr(value, "utf-8") != nullptr || strcasestr(value, "utf8") != nullptr;
  }
  return false;
}

}  // namespace netrove
