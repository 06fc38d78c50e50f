#include "runtime/files.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace netrove {

bool UniqueFd::Reset(int fd) {
  bool ok = true;
  if (fd_ >= 0) ok = close(fd_) == 0;
  fd_ = fd;
  return ok;
}

bool WriteAll(int fd, std::string_view data, int stall_ms) {
  constexpr int kStallStepMs = 100;
  int stalled = 0;
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = write(fd, data.data() + off, data.size() - off);
    if (n > 0) {
      off += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && stalled < stall_ms) {
      struct pollfd p = {fd, POLLOUT, 0};
      (void)poll(&p, 1, kStallStepMs);
      stalled += kStallStepMs;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace netrove
