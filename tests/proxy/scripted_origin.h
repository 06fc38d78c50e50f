// Loopback origins and upstream proxies for the proxy's tests.
#pragma once

#include <functional>
#include <mutex>
#include <thread>

#include "lib/net_context.h"

namespace netrove::testing {

// A thread a connection: keeps each request (head, Content-Length body) and
// lets `answer` reply; the connection goes on while it says true.
class ScriptedOrigin {
 public:
  using Answer = std::function<bool(int fd, const std::string& head, const std::string& body)>;
  explicit ScriptedOrigin(Answer answer) : answer_(std::move(answer)), fd_(BindLoopback(port_)) {}
  ~ScriptedOrigin() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::vector<std::pair<std::string, std::string>> requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }
  std::atomic<int> connections{0};

 private:
  void Serve() {
    std::vector<std::jthread> threads;
    for (int c; (c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ++connections)
      threads.emplace_back([this, c] {
        for (std::string head, more;
             head.size() < 70000 && !(more = ReadAll(c, 5000, 1)).empty();) {
          if (!(head += more).ends_with("\r\n\r\n")) continue;
          size_t at = head.find("Content-Length: ");
          std::string body =
              at == head.npos ? "" : ReadAll(c, 5000, std::stoul(head.substr(at + 16, 9)));
          std::unique_lock<std::mutex> lock(mu_);
          requests_.emplace_back(head, body);
          lock.unlock();
          if (!answer_(c, head, body)) break;
          head.clear();
        }
        close(c);
      });
  }

  Answer answer_;
  uint16_t port_ = 0;
  int fd_;
  mutable std::mutex mu_;
  std::vector<std::pair<std::string, std::string>> requests_;  // guarded by mu_
  std::thread thread_{[this] { Serve(); }};
};

// The path of a request head ("GET /a HTTP/1.1" gives "/a").
inline std::string PathOf(const std::string& head) {
  size_t a = head.find(' ') + 1;
  return head.substr(a, head.find(' ', a) - a);
}

inline std::string LengthReply(const std::string& body, const std::string& extra = "") {
  return "HTTP/1.1 200 OK\r\n" + extra + "Content-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

}  // namespace netrove::testing
