// Helpers of the gate tests: a scratch home with the link on-line, small
// files, and a loopback TCP origin answering with a fixed text.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

#include "config/config.h"
#include "net/net_test_util.h"
#include "runtime/shared_state.h"

namespace netrove::testing {

inline void WriteFile(const std::string& name, const std::string& text) {
  std::ofstream(name) << text;
}
inline std::string ReadFile(const std::string& name) {
  std::ifstream in(name);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A scratch working directory with its own hosts file, listeners that see
// new entries at once and the link on-line; the mappings and the watchdog
// of the configuration are emptied afterwards.
class GateTest : public ::testing::Test {
 protected:
  GateTest() {
    setenv("NETROVE_HOSTS", (scratch_.path() + "/hosts").c_str(), 1);
    Shared().link_mode = kLinkOnline;
  }
  ~GateTest() override {
    UpdateConfig([](ConfigRecord& r) {
      r.port_dog.clear();
      r.map_link.clear();
      r.map_ulink.clear();
    });
    Shared().link_mode = kLinkIdle;
  }
  ScratchDir scratch_;
  TimingsFor timings_{[](NetTimings& t) { t.listener_poll_ms = 50; }};
};

// A TCP origin on 127.0.0.1 that reads one request (up to an empty line or
// a pause), answers `reply` and closes; it serves until destroyed.
class TcpOrigin {
 public:
  explicit TcpOrigin(std::string reply) : reply_(std::move(reply)) {
    fd_ = BindLoopback(port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TcpOrigin() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  uint16_t port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
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
      auto deadline = SteadyClock::now() + Ms(2000);
      while (request.find("\r\n\r\n") == std::string::npos && SteadyClock::now() < deadline) {
        struct pollfd q = {c, POLLIN, 0};
        char buf[1024];
        ssize_t n = poll(&q, 1, 200) > 0 ? recv(c, buf, sizeof buf, 0) : 0;
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
