// Helpers of the gate tests: captured log lines, a loopback TCP origin
// answering with a fixed text, a UDP responder, and client sockets bound to
// a chosen loopback address.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/net_test_util.h"
#include "runtime/log.h"

namespace netrove::testing {

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
    for (const std::string& l : Lines())
      if (l == line) return true;
    return false;
  }
  bool WaitFor(const std::string& line, int ms) const {
    return WaitUntil([&] { return Has(line); }, ms);
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

inline sockaddr_in LoopbackAddress(const char* dotted, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, dotted, &a.sin_addr);
  return a;
}

inline uint16_t BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// A port that was free a moment ago.
inline uint16_t FreeTcpPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = LoopbackAddress("127.0.0.1", 0);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  uint16_t port = BoundPort(fd);
  close(fd);
  return port;
}

inline uint16_t FreeUdpPort() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = LoopbackAddress("127.0.0.1", 0);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  uint16_t port = BoundPort(fd);
  close(fd);
  return port;
}

// TCP connect from `source` to 127.0.0.1:port; -1 on failure.
inline int ConnectFrom(const char* source, const char* dest, uint16_t port) {
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

// Reads until the peer closes or `ms` pass; returns what came.
inline std::string ReadAll(int fd, int ms) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) return out;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) return out;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

// A TCP origin on 127.0.0.1 that reads one request (up to an empty line or
// a pause), answers `reply` and closes; it serves until destroyed.
class TcpOrigin {
 public:
  explicit TcpOrigin(std::string reply) : reply_(std::move(reply)) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = LoopbackAddress("127.0.0.1", 0);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 16);
    port_ = BoundPort(fd_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TcpOrigin() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  uint16_t port() const { return port_; }
  int served() const { return served_.load(); }
  std::string last_request() const {
    std::lock_guard<std::mutex> lock(mu_);
    return last_request_;
  }

 private:
  void Serve() {
    while (!stop_) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      std::string request;
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
      while (request.find("\r\n\r\n") == std::string::npos &&
             std::chrono::steady_clock::now() < deadline) {
        struct pollfd q = {c, POLLIN, 0};
        if (poll(&q, 1, 200) <= 0) break;
        char buf[1024];
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        last_request_ = request;
      }
      send(c, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      close(c);
      ++served_;
    }
  }

  std::string reply_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> served_{0};
  mutable std::mutex mu_;
  std::string last_request_;
  std::thread thread_;
};

}  // namespace netrove::testing
