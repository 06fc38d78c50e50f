// Helpers of the network tests: loopback socket pairs, a scratch working
// directory, descriptor counting and bounded waiting.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "net/socket.h"

namespace netrove::testing {

inline int CountOpenFds() {
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// Polls `pred` every 5 ms for at most `ms` milliseconds.
inline bool WaitUntil(const std::function<bool()>& pred, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A connected TCP pair on 127.0.0.1: {ours, peer}.
inline std::pair<SocketVar, SocketVar> LoopbackPair() {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(listener);
    return {};
  }
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(client);
    close(listener);
    return {};
  }
  int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  close(listener);
  return {SocketVar(accepted), SocketVar(client)};
}

// Writes raw bytes to a socket (test side, blocking).
inline void Put(SocketVar& s, const std::string& bytes) {
  ASSERT_EQ(send(s.handle(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}

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

// Loopback TCP connect (test side), -1 on failure.
inline int ConnectLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace netrove::testing
