#include "dialer/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "runtime/tasks.h"

namespace netrove {
namespace {

class PosixSerialLine final : public SerialLine {
 public:
  PosixSerialLine(int fd, const termios& saved) : fd_(fd), saved_(saved) {}
  ~PosixSerialLine() override {
    // Unsent bytes are dropped rather than waited for: a port stuck on flow
    // control must not hold the session.
    (void)tcflush(fd_, TCOFLUSH);
    (void)tcsetattr(fd_, TCSANOW, &saved_);
    (void)ioctl(fd_, TIOCNXCL);
    (void)close(fd_);  // releases the flock
  }
  PosixSerialLine(const PosixSerialLine&) = delete;
  PosixSerialLine& operator=(const PosixSerialLine&) = delete;

  bool Write(std::string_view data, int timeout_ms) override {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!data.empty()) {
      ssize_t n = write(fd_, data.data(), data.size());
      if (n > 0) {
        data.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      struct pollfd p = {fd_, POLLOUT, 0};
      if (TaskPoll(&p, 1, static_cast<int>(left)) < 0) return false;
      if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
    }
    return true;
  }

  int64_t Read(char* buffer, size_t n, int timeout_ms) override {
    struct pollfd p = {fd_, POLLIN, 0};
    int rc = TaskPoll(&p, 1, timeout_ms);
    if (rc < 0) return -1;
    if (rc == 0) return 0;
    if ((p.revents & POLLIN) == 0) return -1;  // hang-up or error without data
    ssize_t got = read(fd_, buffer, n);
    if (got > 0) return got;
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return -1;
  }

 private:
  const int fd_;
  const termios saved_;
};

}  // namespace

std::unique_ptr<SerialLine> PosixSerialPorts::Open(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  termios saved{};
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(fd, &saved) != 0 ||
      ioctl(fd, TIOCEXCL) != 0) {
    (void)close(fd);
    return nullptr;
  }
  termios raw = saved;
  cfmakeraw(&raw);  // keeps the speeds
  raw.c_cflag |= CLOCAL | CREAD;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &raw) != 0) {
    (void)ioctl(fd, TIOCNXCL);
    (void)close(fd);
    return nullptr;
  }
  (void)tcflush(fd, TCIFLUSH);  // what the modem said before we asked is not the answer
  return std::make_unique<PosixSerialLine>(fd, saved);
}

}  // namespace netrove
