#include "net/connect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>

#include "net/resolver.h"
#include "runtime/text.h"

namespace netrove {

// Finishes a non-blocking connect. True when connected.
bool Connector::FinishConnect(int fd) {
  const int64_t bound_ms = sockets_.Timings().connect_timeout_ms;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    struct pollfd p = {fd, POLLOUT, 0};
    int r = TaskPoll(&p, 1, static_cast<int>(std::min<int64_t>(left, 1 << 30)));
    if (r < 0) return false;  // stopped or failed
    if (r == 0) continue;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return false;
    return error == 0;
  }
}

std::optional<HostTarget> ParseHostText(const std::string& host, uint16_t default_port) {
  std::string text = host.substr(0, 255);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) return std::nullopt;
  size_t scheme = text.find("//");
  if (scheme != std::string::npos) text.erase(0, scheme + 2);
  size_t slash = text.find('/');
  if (slash != std::string::npos) text.erase(slash);
  HostTarget target;
  target.port = default_port;
  size_t colon = text.find(':');
  if (colon != std::string::npos) {
    if (auto port = ParsePortNumber(text.substr(colon + 1))) target.port = *port;
    text.erase(colon);
  }
  target.name = text;
  return target;
}

SocketVar Connector::Connect(const std::string& host, uint16_t default_port) {
  std::optional<HostTarget> target = ParseHostText(host, default_port);
  if (!target) return SocketVar();
  if (FailedCached(target->name)) return SocketVar();
  uint32_t address = resolver_.Resolve(target->name);
  if (address == kNoAddress) {
    AddFailed(target->name);
    return SocketVar();
  }
  std::string pair = DottedAddress(address) + ":" + std::to_string(target->port);
  if (FailedCached(pair)) return SocketVar();

  SocketVar sock(sockets_,
                 socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP));
  int fd = sock.handle();
  if (fd < 1) return SocketVar();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(target->port);
  addr.sin_addr.s_addr = address;
  bool connected = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    connected = true;
  } else if (errno == EINPROGRESS || errno == EINTR) {
    connected = FinishConnect(fd);
  }
  if (!connected) {
    // A stop request is not the host's fault: it is not remembered.
    if (!TaskStopRequested()) AddFailed(pair);
    CloseSocketVar(sock);
    return sock;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return sock;
}

bool Connector::FailedCached(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mu_);
  return failed_.count(key) != 0;
}

void Connector::AddFailed(const std::string& key) {
  std::lock_guard<std::mutex> lock(mu_);
  failed_.insert(key);
}

void Connector::ClearFailed() {
  std::lock_guard<std::mutex> lock(mu_);
  failed_.clear();
}

size_t Connector::FailedCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return failed_.size();
}

TaskHandle Connector::StartBadUrlChecker(Tasks& tasks) {
  return tasks.Start("Bad URL checker", [this](uint32_t) -> uint32_t {
    while (TaskSleep(sockets_.Timings().bad_url_period_ms)) {
      if (FailedCount() > 0) ClearFailed();
    }
    return 0;
  });
}

}  // namespace netrove
