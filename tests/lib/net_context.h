// A TestContext with a Network of its own (a hosts file in the scratch
// directory), and loopback clients and servers for the network tests.
#pragma once

#include <functional>
#include <utility>

#include "lib/test_context.h"
#include "net/network.h"

namespace netrove::testing {

class NetTestContext : public TestContext {
 public:
  explicit NetTestContext(const std::function<void(NetOptions&)>& edit = nullptr)
      : net(env, tasks, log, config, shared, Options(edit)) {}

  // A connected TCP pair on 127.0.0.1, {ours, peer}, on the network's layer.
  std::pair<SocketVar, SocketVar> LoopbackPair() {
    uint16_t port = 0;
    int listener = BindLoopback(port, SOCK_STREAM, 1);
    int client = ConnectLoopback(port);
    int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    return {SocketVar(net.sockets(), accepted), SocketVar(net.sockets(), client)};
  }
  std::string Read(const std::string& name) { return env.ReadFile(name, 1 << 20).value_or(""); }
  void SetTimings(const std::function<void(NetTimings&)>& edit) {
    NetTimings t = net.sockets().Timings();
    edit(t);
    net.sockets().SetTimings(t);
  }
  NetOptions Options(const std::function<void(NetOptions&)>& edit) {
    NetOptions options;
    options.hosts_path = scratch / "hosts";
    options.timings.listener_poll_ms = 50;
    if (edit) edit(options);
    return options;
  }

  Network net;
};

// A port free on every address a moment ago, for a listener on 0.0.0.0
// (FreePort looks at 127.0.0.1 only: a client of 127.0.0.2 may hold it).
inline uint16_t FreeAnyPort(int type = SOCK_STREAM) { return FreePort(type, "0.0.0.0"); }

inline void Put(SocketVar& s, const std::string& bytes) { ASSERT_TRUE(SendAll(s.handle(), bytes)); }

// True once `n` bytes wait unread in the socket's receive queue.
inline bool Pending(SocketVar& s, size_t n) {
  std::string buf(n, '\0');
  return WaitUntil(
      [&] { return recv(s.handle(), buf.data(), n, MSG_PEEK | MSG_DONTWAIT) == ssize_t(n); });
}

// Sends `text` from `source` to `dest`:port (then half-closes); what comes
// back until the close or `ms` pass, "<refused>" when the connect fails.
inline std::string Ask(uint16_t port, const std::string& text, const char* source = "127.0.0.1",
                       bool half_close = true, int ms = 3000, const char* dest = "127.0.0.1") {
  int fd = ConnectLoopback(port, dest, source);
  if (fd < 0) return "<refused>";
  (void)SendAll(fd, text);
  if (half_close) shutdown(fd, SHUT_WR);
  std::string back = ReadAll(fd, ms);
  close(fd);
  return back;
}

// A datagram from `source` to 127.0.0.1:port; what comes back in `ms`.
inline std::string UdpAsk(uint16_t port, const std::string& text, const char* source = "127.0.0.1",
                          int ms = 3000, size_t limit = SIZE_MAX) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in from = LoopbackAddress(source, 0), to = LoopbackAddress("127.0.0.1", port);
  bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
  sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  std::string back = ReadAll(fd, ms, limit);
  close(fd);
  return back;
}

// A server on 127.0.0.1 for line protocols, one client at a time: it sends
// `answer("")`, then `answer(line)` for each line the client sends ("\n"
// kept), up to QUIT's answer, the close or 3 s of silence. With a `pause`
// character its answers go in pieces split there, 20 ms apart. The lines
// are all in `received` once it is destroyed.
class LineServer {
 public:
  LineServer(std::string& received, std::function<std::string(const std::string&)> answer,
             char pause = 0)
      : received_(received), answer_(std::move(answer)), pause_(pause) {}
  ~LineServer() {
    shutdown(fd_, SHUT_RDWR);  // ends the accept
    thread_.join();
    close(fd_);
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  bool Send(int c, const std::string& text) {
    for (size_t from = 0, cut; from <= text.size(); from = cut + 1) {
      cut = pause_ ? std::min(text.find(pause_, from), text.size()) : text.size();
      if (from > 0) std::this_thread::sleep_for(Ms(20));
      if (!SendAll(c, text.substr(from, cut - from))) return false;
    }
    return true;
  }
  void Serve() {
    for (int c; (c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; close(c)) {
      for (std::string line, byte; Send(c, answer_(line)) && line != "QUIT\r\n";) {
        for (line.clear(); !line.ends_with("\n") && !(byte = ReadAll(c, 3000, 1)).empty();)
          line += byte;
        if (!line.ends_with("\n")) break;
        received_ += line;
      }
    }
  }

  std::string& received_;
  const std::function<std::string(const std::string&)> answer_;
  const char pause_;
  uint16_t port_ = 0;
  int fd_ = BindLoopback(port_);
  std::thread thread_{[this] { Serve(); }};
};

// A TCP origin on 127.0.0.1 that reads one request (up to an empty line or
// a pause), answers `reply` and closes; it serves until destroyed.
class TcpOrigin {
 public:
  explicit TcpOrigin(std::string reply) : reply_(std::move(reply)), fd_(BindLoopback(port_)) {}
  ~TcpOrigin() {
    shutdown(fd_, SHUT_RDWR);  // ends the accept
    thread_.join();
    close(fd_);
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  // The connections taken so far (counted as each is accepted, so a
  // client that has its answer finds itself counted).
  int served() const { return served_.load(); }
  std::string last_request() const {
    std::lock_guard<std::mutex> lock(mu_);
    return last_request_;
  }

 private:
  void Serve() {
    for (int c; (c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; close(c)) {
      ++served_;
      std::string request, more;
      while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 &&
             !(more = ReadAll(c, 200, 1)).empty())
        request += more;
      std::lock_guard<std::mutex> lock(mu_);
      last_request_ = request;
      send(c, reply_.data(), reply_.size(), MSG_NOSIGNAL);
    }
  }

  std::string reply_;
  uint16_t port_ = 0;
  int fd_;
  std::atomic<int> served_{0};
  mutable std::mutex mu_;
  std::string last_request_;  // guarded by mu_
  std::thread thread_{[this] { Serve(); }};
};

}  // namespace netrove::testing
