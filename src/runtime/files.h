// Owners and loops for raw descriptors, under the Env and the console.
#pragma once

#include <string_view>

namespace netrove {

// One descriptor, closed by the destructor. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and takes `fd`; false when the
  // close reported an error (a delayed write error, say).
  bool Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Writes all of `data`, retrying short writes and EINTR. A descriptor that
// is non-blocking is waited for up to `stall_ms` in total (0: not at all).
// False when not everything could be written.
[[nodiscard]] bool WriteAll(int fd, std::string_view data, int stall_ms = 0);

}  // namespace netrove
