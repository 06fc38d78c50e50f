// A TestContext with a Network of its own: listeners that see new entries
// at once, a hosts file in the scratch directory, loopback socket pairs,
// and a TCP origin answering with a fixed text.
#pragma once

#include <functional>
#include <utility>

#include "lib/test_context.h"
#include "net/network.h"

namespace netrove::testing {

class NetTestContext : public TestContext {
 public:
  // `edit` changes the options before the Network is made.
  explicit NetTestContext(const std::function<void(NetOptions&)>& edit = nullptr,
                          Env* other_env = nullptr)
      : TestContext(other_env), net(env, tasks, log, config, shared, Options(edit)) {}

  // A connected TCP pair on 127.0.0.1: {ours, peer}, both on the network's
  // socket layer.
  std::pair<SocketVar, SocketVar> LoopbackPair() {
    uint16_t port = 0;
    int listener = BindLoopback(port, SOCK_STREAM, 1);
    int client = ConnectLoopback(port);
    int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    return {SocketVar(net.sockets(), accepted), SocketVar(net.sockets(), client)};
  }
  void SetTimings(const std::function<void(NetTimings&)>& edit) {
    NetTimings t = net.sockets().Timings();
    edit(t);
    net.sockets().SetTimings(t);
  }

  Network net;

 private:
  NetOptions Options(const std::function<void(NetOptions&)>& edit) {
    NetOptions options;
    options.hosts_path = scratch / "hosts";
    options.timings.listener_poll_ms = 50;
    if (edit) edit(options);
    return options;
  }
};

// Writes raw bytes to a socket (test side, blocking).
inline void Put(SocketVar& s, const std::string& bytes) { ASSERT_TRUE(SendAll(s.handle(), bytes)); }

// True once `n` bytes wait unread in the socket's receive queue.
inline bool Pending(SocketVar& s, size_t n) {
  std::string buf(n, '\0');
  return WaitUntil(
      [&] { return recv(s.handle(), buf.data(), n, MSG_PEEK | MSG_DONTWAIT) == ssize_t(n); });
}

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
