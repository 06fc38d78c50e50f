// HTTP peers on loopback for the proxy tests: a scripted origin in threads
// of the test, and real tools (curl, servers) run as processes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lib/net_context.h"

namespace netrove::testing {

// Per connection: reads requests (head up to the empty line, then a
// Content-Length body) and lets `answer` write the reply; the connection
// goes on while `answer` returns true. Counts connections, keeps requests.
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
  int connections() const { return connections_.load(); }
  std::vector<std::pair<std::string, std::string>> requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  void Serve() {
    std::vector<std::thread> threads;  // one a connection: a held one stops no other
    for (int c; (c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ++connections_)
      threads.emplace_back([this, c] {
        for (std::string head, body; Read(c, head, body);) {
          std::unique_lock<std::mutex> lock(mu_);
          requests_.emplace_back(head, body);
          lock.unlock();
          if (!answer_(c, head, body)) break;
        }
        close(c);
      });
    for (auto& t : threads) t.join();
  }
  static bool Read(int c, std::string& head, std::string& body) {
    head.clear();
    while (!head.ends_with("\r\n\r\n") && head.size() < 70000) {
      std::string more = ReadAll(c, 5000, 1);
      if (more.empty()) return false;
      head += more;
    }
    size_t at = head.find("Content-Length: ");
    size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16, 9));
    body = length ? ReadAll(c, 5000, length) : "";
    return body.size() == length;
  }

  Answer answer_;
  uint16_t port_ = 0;
  int fd_;
  std::atomic<int> connections_{0};
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

// A program run to its end within `ms` (killed after): its exit status.
inline std::optional<int> RunTool(Env& env, const std::vector<std::string>& argv,
                                  const std::string& output, int ms = 10000) {
  std::unique_ptr<Process> p = env.Spawn(argv, {}, output);
  std::optional<int> status;
  if (p) WaitUntil([&] { return (status = p->Poll()).has_value(); }, ms);
  return status;
}

// A server program, up once 127.0.0.1:port takes connections; its process
// group ends with the object.
struct ToolServer {
  ToolServer(Env& env, const std::vector<std::string>& argv, uint16_t port, const std::string& out)
      : process(env.Spawn(argv, {}, out)) {
    up = process && WaitUntil(
                        [port] {
                          int fd = ConnectLoopback(port);
                          return fd >= 0 && close(fd) == 0;
                        },
                        10000);
  }
  std::unique_ptr<Process> process;
  bool up = false;
};

}  // namespace netrove::testing
