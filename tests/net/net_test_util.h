// Helpers of the network and gate tests: loopback sockets, a scratch working
// directory, captured log lines, shortened timings and bounded waiting.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/net_settings.h"
#include "net/socket.h"
#include "runtime/log.h"

namespace netrove::testing {

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

inline int CountOpenFds() {
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// Polls `pred` every 5 ms for at most `ms` milliseconds.
inline bool WaitUntil(const std::function<bool()>& pred, int ms) {
  auto deadline = SteadyClock::now() + Ms(ms);
  while (!pred()) {
    if (SteadyClock::now() >= deadline) return false;
    std::this_thread::sleep_for(Ms(5));
  }
  return true;
}

inline int64_t MsSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<Ms>(SteadyClock::now() - start).count();
}

inline sockaddr_in LoopbackAddress(const char* dotted, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, dotted, &a.sin_addr);
  return a;
}

// A socket of `type` bound to 127.0.0.1:port (0: system-chosen, stored back
// into `port`); a TCP one listens with `backlog`.
inline int BindLoopback(uint16_t& port, int type = SOCK_STREAM, int backlog = 16) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in a = LoopbackAddress("127.0.0.1", port);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (type == SOCK_STREAM) listen(fd, backlog);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// A port that was free a moment ago.
inline uint16_t FreePort(int type = SOCK_STREAM) {
  uint16_t port = 0;
  close(BindLoopback(port, type, 0));
  return port;
}

// TCP connect from `source` to `dest`:port; -1 on failure.
inline int ConnectLoopback(uint16_t port, const char* dest = "127.0.0.1",
                           const char* source = "127.0.0.1") {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from = LoopbackAddress(source, 0);
  sockaddr_in to = LoopbackAddress(dest, port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A connected TCP pair on 127.0.0.1: {ours, peer}.
inline std::pair<SocketVar, SocketVar> LoopbackPair() {
  uint16_t port = 0;
  int listener = BindLoopback(port, SOCK_STREAM, 1);
  int client = ConnectLoopback(port);
  int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  close(listener);
  return {SocketVar(accepted), SocketVar(client)};
}

// Writes raw bytes to a socket (test side, blocking).
inline void Put(SocketVar& s, const std::string& bytes) {
  ASSERT_EQ(send(s.handle(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}

// True once `n` bytes wait unread in the socket's receive queue.
inline bool Pending(SocketVar& s, size_t n) {
  std::string buf(n, '\0');
  return WaitUntil(
      [&] { return recv(s.handle(), buf.data(), n, MSG_PEEK | MSG_DONTWAIT) == ssize_t(n); }, 2000);
}

// Reads until the peer closes or `ms` pass; returns what came.
inline std::string ReadAll(int fd, int ms) {
  std::string out;
  auto deadline = SteadyClock::now() + Ms(ms);
  for (;;) {
    auto left = std::chrono::duration_cast<Ms>(deadline - SteadyClock::now()).count();
    struct pollfd p = {fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return out;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

// Network timings changed by `edit` for the life of the object.
class TimingsFor {
 public:
  explicit TimingsFor(const std::function<void(NetTimings&)>& edit) {
    NetTimings t;
    edit(t);
    SetNetTimingsForTesting(t);
  }
  ~TimingsFor() { SetNetTimingsForTesting(NetTimings()); }
};

// A fresh directory made the working directory for the life of the object.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/netrove-net-XXXXXX";
    path_ = mkdtemp(tmpl);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~ScratchDir() {
    std::filesystem::current_path(old_);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::filesystem::path old_;
};

// Collects every message logged while it lives.
class LogCapture {
 public:
  LogCapture() {
    SetLogProc([this](const std::string& m) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.push_back(m);
      return m;
    });
  }
  ~LogCapture() { SetLogProc(nullptr); }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  bool Has(const std::string& line) const {
    auto lines = Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
  }
  bool WaitFor(const std::string& line) const {
    return WaitUntil([&] { return Has(line); }, 3000);
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

}  // namespace netrove::testing
