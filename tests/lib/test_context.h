// The runtime objects of one test (TestContext), bounded waiting and
// loopback sockets of the test's own (127.0.0.1 only).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "runtime/console.h"
#include "runtime/env_posix.h"
#include "runtime/log.h"
#include "runtime/shared_state.h"
#include "runtime/tasks.h"
#include "testing/fake_env.h"

namespace netrove::testing {

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// Polls `pred` every 2 ms for at most `ms` milliseconds.
inline bool WaitUntil(const std::function<bool()>& pred, int ms = 3000) {
  for (auto deadline = SteadyClock::now() + Ms(ms); !pred(); std::this_thread::sleep_for(Ms(2)))
    if (SteadyClock::now() >= deadline) return false;
  return true;
}

inline int64_t MsSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<Ms>(SteadyClock::now() - start).count();
}
// Milliseconds `run` takes.
inline int64_t MsTaken(const std::function<void()>& run) {
  const auto start = SteadyClock::now();
  run();
  return MsSince(start);
}

inline int CountOpenFds() {
  auto it = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<int>(std::distance(begin(it), end(it)));
}

// Files of the test's own: written (with their directories), read, listed.
inline void WriteFile(const std::string& path, const std::string& text) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream(path, std::ios::binary) << text;
}
inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
inline std::set<std::string> DirectoryNames(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.insert(e.path().filename().string());
  return names;
}

// A fresh directory under /tmp, the working directory while it lives.
class ScratchDir {
 public:
  ScratchDir() : old_(std::filesystem::current_path()) {
    char tmpl[] = "/tmp/netrove-test-XXXXXX";
    path_ = mkdtemp(tmpl);
    std::filesystem::current_path(path_);
  }
  ~ScratchDir() {
    std::filesystem::current_path(old_);
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::filesystem::path old_;
  std::string path_;
};

struct PosixBase {
  PosixEnv posix;
};

// Real files and clock; the local time stands still where a test sets it
// (0: the system's), and the disk fails on cue (FaultEnv).
class TestEnv : private PosixBase, public FaultEnv {
 public:
  TestEnv() : FaultEnv(posix) {}
  void SetLocalSeconds(int64_t seconds) { local_ = seconds; }
  void AdvanceLocal(int64_t seconds) { local_ += seconds; }
  int64_t LocalSeconds() override { return local_ ? local_.load() : FaultEnv::LocalSeconds(); }

 private:
  std::atomic<int64_t> local_{0};
};

// A task that throws or cannot be started fails the test.
class FailingTaskFailures : public TaskFailures {
 public:
  void RuntimeError(const std::string& name) override { ADD_FAILURE() << name << " threw"; }
  [[noreturn]] void CannotStart(const std::string& name) override {
    std::fprintf(stderr, "task %s could not be started\n", name.c_str());
    std::abort();
  }
};

// Both ends of a pipe, closed with the object.
struct Pipe {
  explicit Pipe(int flags = 0) {
    if (pipe2(fd, O_CLOEXEC | flags) != 0) fd[0] = fd[1] = -1;
  }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  int fd[2];
};

// A scratch directory made the working directory, an Env on it (`real_env`,
// or `other_env`, a FakeEnv say), a task table whose failures fail the
// test, a console on pipes, a log whose lines are captured, a configuration
// store and the shared state.
class TestContext {
 public:
  explicit TestContext(Env* other_env = nullptr)
      : env(other_env ? *other_env : real_env),
        tasks(env, failures),
        console(tasks, ConsoleIo{keys.fd[0], output.fd[1], false}),
        log(env, console) {
    log.SetRoutine([this](const std::string& message) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.push_back(message);
      return message;
    });
  }
  virtual ~TestContext() { log.SetRoutine(nullptr); }  // (not copyable: its members)

  // Logged messages, as given to the log.
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  int Count(const std::string& line) const {
    auto lines = Lines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }
  bool Has(const std::string& line) const { return Count(line) > 0; }
  bool WaitForLine(const std::string& line, int ms = 3000) const {
    return WaitUntil([&] { return Has(line); }, ms);
  }
  void ClearLines() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
  }

  ScratchDir scratch;
  TestEnv real_env;
  Env& env;
  FailingTaskFailures failures;
  Tasks tasks;
  Pipe keys, output{O_NONBLOCK};  // nobody reads the output: it must not block
  Console console;
  Log log;
  ConfigStore config;
  SharedState shared;

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;  // guarded by mu_
};

// --- Loopback sockets (blocking, close-on-exec).

inline sockaddr_in LoopbackAddress(const char* dotted, uint16_t port) {
  sockaddr_in a{.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {}, .sin_zero = {}};
  inet_pton(AF_INET, dotted, &a.sin_addr);
  return a;
}

// A socket of `type` bound to `dotted`:port (0: system-chosen, stored back
// into `port`); a TCP one listens with `backlog`.
inline int BindLoopback(uint16_t& port, int type = SOCK_STREAM, int backlog = 16,
                        const char* dotted = "127.0.0.1") {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in a = LoopbackAddress(dotted, port);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "bind " << port;
  if (type == SOCK_STREAM) listen(fd, backlog);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// A port that was free on `dotted` a moment ago.
inline uint16_t FreePort(int type = SOCK_STREAM, const char* dotted = "127.0.0.1") {
  uint16_t port = 0;
  close(BindLoopback(port, type, 0, dotted));
  return port;
}

// TCP connect from `source` to `dest`:port; -1 on failure.
inline int ConnectLoopback(uint16_t port, const char* dest = "127.0.0.1",
                           const char* source = "127.0.0.1") {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from = LoopbackAddress(source, 0), to = LoopbackAddress(dest, port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
    return fd;
  close(fd);
  return -1;
}

// Reads until the peer closes, `limit` bytes came or `ms` pass.
inline std::string ReadAll(int fd, int ms, size_t limit = SIZE_MAX) {
  std::string out;
  char buf[65536];
  for (auto deadline = SteadyClock::now() + Ms(ms); out.size() < limit;) {
    auto left = std::chrono::duration_cast<Ms>(deadline - SteadyClock::now()).count();
    struct pollfd p = {fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
    ssize_t n = recv(fd, buf, std::min(sizeof buf, limit - out.size()), 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// Sends all of `data` (blocking); false when the peer has gone.
inline bool SendAll(int fd, const std::string& data) {
  for (size_t off = 0; off < data.size();) {
    ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace netrove::testing
