#include "net/socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "net/port_server.h"
#include "runtime/tasks.h"

namespace netrove {
namespace {

constexpr int kMinShare = 50;
constexpr size_t kRelayBlock = 900;
// RelaySockets: the most bytes gathered from one side for one send.
constexpr size_t kRelayGather = 32 * 1024;
using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 1 << 30));
}

// Waits until `fd` shows one of `events`, the deadline passes or the task
// is stopped. Returns the revents, 0 on time-out or stop.
short WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    struct pollfd p = {fd, events, 0};
    int r = TaskPoll(&p, 1, RemainingMs(deadline));
    if (r < 0) return 0;
    if (r == 0) {
      if (Clock::now() >= deadline) return 0;
      continue;
    }
    return p.revents;
  }
}

// Counts the calling task among the receivers of `layer` while it lives.
class ReceiverCount {
 public:
  explicit ReceiverCount(SocketLayer* layer)
      : layer_(layer), count_(layer ? layer->receiving().fetch_add(1) + 1 : 1) {}
  ~ReceiverCount() {
    if (layer_) layer_->receiving().fetch_sub(1);
  }
  ReceiverCount(const ReceiverCount&) = delete;
  ReceiverCount& operator=(const ReceiverCount&) = delete;
  int count() const { return count_; }

 private:
  SocketLayer* const layer_;
  int count_;
};

NetTimings TimingsOf(const SocketVar& var) {
  return var.layer() ? var.layer()->Timings() : NetTimings();
}

}  // namespace

SocketVar::~SocketVar() { CloseSocketVar(*this); }

SocketVar::SocketVar(SocketVar&& other) noexcept
    : fd_(other.fd_),
      layer_(other.layer_),
      read_ahead_(std::move(other.read_ahead_)),
      listener_(std::move(other.listener_)),
      held_(std::move(other.held_)) {
  other.fd_ = -1;
}

SocketVar& SocketVar::operator=(SocketVar&& other) noexcept {
  if (this != &other) {
    CloseSocketVar(*this);
    fd_ = other.fd_;
    layer_ = other.layer_;
    read_ahead_ = std::move(other.read_ahead_);
    listener_ = std::move(other.listener_);
    held_ = std::move(other.held_);
    other.fd_ = -1;
  }
  return *this;
}

int SocketVar::handle() const {
  if (listener_ && !ListenerRegistered(listener_)) return -1;
  return fd_;
}

size_t SocketVar::buffered() const {
  if (!read_ahead_ || read_ahead_->count == 0) return 0;
  return read_ahead_->count - read_ahead_->position;
}

void HoldUntilClosed(SocketVar& var, std::shared_ptr<void> held) { var.held_ = std::move(held); }

void CloseSocketVar(SocketVar& var) {
  var.read_ahead_.reset();
  var.held_.reset();
  if (var.listener_) {
    // The entry owns the descriptor; it is closed when the port server no
    // longer looks at it.
    DropListener(var.listener_);
    var.listener_.reset();
  } else if (var.fd_ >= 0) {
    shutdown(var.fd_, SHUT_WR);
    close(var.fd_);
  }
  var.fd_ = -1;
}

size_t ReceiveShare(int receivers) {
  int share = kReceiveBudget / std::max(receivers, 1);
  share = std::clamp(share, kMinShare, static_cast<int>(kReadAheadSize));
  return static_cast<size_t>(share);
}

namespace {

// Receive's result when `wait` is false and nothing is waiting (the socket
// stays open).
constexpr int kNothingWaiting = -2;

// `drained`, when given, tells whether the receive found fewer bytes than
// it asked for (the socket is empty for now).
// `bulk` asks for up to `max_length` at once, beyond the block and the
// share: for relaying a body whose bytes are all wanted anyway.
int Receive(SocketVar& var, char* dest, size_t max_length, bool wait, bool* drained = nullptr,
            bool bulk = false) {
  SocketLayer* layer = var.layer();
  ReceiverCount receivers(layer);
  size_t request =
      bulk ? max_length : std::min({max_length, kReadAheadSize, ReceiveShare(receivers.count())});
  int fd = var.handle();
  if (fd < 1 || request == 0) {
    CloseSocketVar(var);
    return 0;
  }
  // Bytes already waiting are taken without a wait; only an empty socket
  // is waited on. The gate and the stop request are checked here too, so
  // a steady stream (which never waits) still holds on suspension and ends
  // on a stop.
  PassPauseGate();
  if (!TaskStopRequested()) {
    std::optional<Clock::time_point> deadline;  // from the first wait on
    for (;;) {
      ssize_t n = recv(fd, dest, request, MSG_DONTWAIT);
      if (n > 0) {
        if (drained) *drained = static_cast<size_t>(n) < request;
        if (layer) {
          TrafficCounters& t = layer->traffic();
          t.received_total.fetch_add(static_cast<uint32_t>(n));
          if (!layer->IsUncounted(fd)) t.received_tick.fetch_add(static_cast<uint32_t>(n));
        }
        return static_cast<int>(n);
      }
      if (n == 0) break;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) break;
      if (!wait) return kNothingWaiting;
      if (!deadline)
        deadline = Clock::now() + std::chrono::milliseconds(TimingsOf(var).receive_timeout_ms);
      short revents = WaitFor(fd, POLLIN | POLLPRI, *deadline);
      if (revents == 0 || (revents & (POLLPRI | POLLNVAL))) break;
    }
  }
  CloseSocketVar(var);
  return 0;
}

}  // namespace

struct SocketAccess {
  static int ReadAhead(SocketVar& var, char* dest, size_t max_length, bool wait,
                       bool* drained = nullptr);
};

int SocketAccess::ReadAhead(SocketVar& var, char* dest, size_t max_length, bool wait,
                            bool* drained) {
  if (drained) *drained = false;
  if (var.handle() < 1) return -1;
  if (!var.read_ahead_) var.read_ahead_ = std::make_unique<SocketVar::ReadAhead>();
  SocketVar::ReadAhead* buffer = var.read_ahead_.get();
  if (buffer->count == 0) {
    int n = Receive(var, buffer->data, kReadAheadSize, wait, drained);
    if (n < 1) return n;  // nothing waiting, or the socket is closed and the buffer gone
    buffer->count = static_cast<uint16_t>(n);
    buffer->position = 0;
  }
  size_t take = std::min<size_t>(buffer->count - buffer->position, max_length);
  std::memcpy(dest, buffer->data + buffer->position, take);
  buffer->position = static_cast<uint16_t>(buffer->position + take);
  if (buffer->position >= buffer->count) buffer->count = 0;
  return static_cast<int>(take);
}

int ReceiveChunk(SocketVar& var, char* dest, size_t max_length) {
  return Receive(var, dest, max_length, true);
}

int ReadBuffered(SocketVar& var, char* dest, size_t max_length) {
  return SocketAccess::ReadAhead(var, dest, max_length, true);
}

int ReadBufferedGather(SocketVar& var, char* dest, size_t max_length) {
  if (var.handle() < 1) return -1;
  if (var.buffered() == 0) return Receive(var, dest, max_length, true, nullptr, true);
  // Bytes read ahead first, then whatever else is waiting, without a wait.
  const int n = SocketAccess::ReadAhead(var, dest, max_length, true);
  if (n < 1 || static_cast<size_t>(n) == max_length) return n;
  const int more =
      Receive(var, dest + n, max_length - static_cast<size_t>(n), false, nullptr, true);
  return n + std::max(more, 0);
}

bool ReadLine(SocketVar& var, size_t max_length, std::string& line) {
  constexpr size_t kStaging = 255;
  line.clear();
  std::string staging;
  bool open = true;
  for (;;) {
    char byte;
    if (ReadBuffered(var, &byte, 1) != 1) {
      CloseSocketVar(var);
      open = false;
      break;
    }
    if (byte == '\n') break;
    if (byte != '\0' && byte != '\r') {
      staging.push_back(byte);
      if (staging.size() > kStaging - 1) {
        line += staging;
        staging.clear();
      }
    }
    if (line.size() >= max_length) break;
  }
  line += staging;
  return open;
}

bool SendBuffer(SocketVar& var, const void* data, size_t length) {
  if (length == 0) return true;
  int fd = var.handle();
  if (fd < 1) {
    CloseSocketVar(var);
    return false;
  }
  const char* p = static_cast<const char*>(data);
  size_t sent = 0;
  std::optional<Clock::time_point> deadline;  // from the first wait on
  while (sent < length) {
    ssize_t n = send(fd, p + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!deadline)
        deadline = Clock::now() + std::chrono::milliseconds(TimingsOf(var).send_timeout_ms);
      short revents = WaitFor(fd, POLLOUT, *deadline);
      if (revents & POLLOUT) continue;
    }
    CloseSocketVar(var);
    return false;
  }
  if (var.layer()) var.layer()->traffic().sent_tick.fetch_add(static_cast<uint32_t>(length));
  return true;
}

bool SendLine(SocketVar& var, const std::string& text) {
  (void)SendBuffer(var, text.data(), text.size());
  return SendBuffer(var, "\r\n", 2);
}

void SetNoDelay(const SocketVar& var) {
  int one = 1;
  if (var.is_open()) (void)setsockopt(var.handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool PeerEndedSending(SocketVar& var) {
  if (var.handle() < 1 || var.buffered() > 0) return false;
  char byte;
  return recv(var.handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

bool IsConnectionAlive(SocketVar& var) {
  int fd = var.handle();
  if (fd < 1) return false;
  struct pollfd p = {fd, POLLIN | POLLPRI, 0};
  int r;
  do r = poll(&p, 1, 0);
  while (r < 0 && errno == EINTR);
  if (r < 0) return true;
  if (p.revents & (POLLPRI | POLLNVAL)) return false;
  if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
    char byte;
    ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      CloseSocketVar(var);
      return false;
    }
  }
  return true;
}

int WaitReadable(std::span<SocketWait> waits, int64_t timeout_ms) {
  int buffered = 0;
  for (SocketWait& w : waits) {
    w.readable = w.writable = w.exceptional = false;
    if (w.want_read && w.socket && w.socket->buffered() > 0) {
      w.readable = true;
      ++buffered;
    }
  }
  if (buffered > 0) return buffered;

  // A relay waits on two sockets per block: no allocation for few.
  std::array<struct pollfd, 8> few;
  std::vector<struct pollfd> many;
  struct pollfd* fds = few.data();
  if (waits.size() > few.size()) {
    many.resize(waits.size());
    fds = many.data();
  }
  for (size_t i = 0; i < waits.size(); ++i) {
    const SocketWait& w = waits[i];
    short events = 0;
    if (w.want_read) events |= POLLIN;
    if (w.want_write) events |= POLLOUT;
    if (w.want_except) events |= POLLPRI;
    int fd = w.socket ? w.socket->handle() : -1;
    fds[i] = {fd >= 1 ? fd : -1, events, 0};
  }
  int r =
      TaskPoll(fds, waits.size(), static_cast<int>(std::clamp<int64_t>(timeout_ms, -1, 1 << 30)));
  if (r <= 0) return r;
  int count = 0;
  for (size_t i = 0; i < waits.size(); ++i) {
    SocketWait& w = waits[i];
    short rev = fds[i].revents;
    if (rev == 0) continue;
    bool broken = rev & (POLLERR | POLLHUP);
    w.readable = w.want_read && (rev & POLLIN || broken);
    w.writable = w.want_write && (rev & POLLOUT);
    w.exceptional = (w.want_except && (rev & POLLPRI)) || (rev & POLLNVAL) ||
                    (broken && !w.want_read && w.want_except);
    if (w.readable || w.writable || w.exceptional) ++count;
  }
  return count;
}

void RelaySockets(SocketVar& a, SocketVar& b) {
  const int64_t idle_ms = TimingsOf(a).relay_idle_ms;
  auto gathered = std::make_unique_for_overwrite<char[]>(kRelayGather);
  char* buffer = gathered.get();
  // One wait per burst: the wait here sees urgent data too (which ends the
  // relay, as a receive that waited would), and the receives after it find
  // their bytes waiting. Blocks that are already waiting behind the first
  // go out with it in one send: a send per block would be a segment per
  // block, and a wake-up of the reader for each.
  while (a.is_open() && b.is_open()) {
    std::array<SocketWait, 2> waits = {SocketWait{&a}, SocketWait{&b}};
    for (SocketWait& w : waits) w.want_except = true;
    if (WaitReadable(waits, idle_ms) < 1) break;
    SocketWait* first = waits[0].readable ? &waits[0] : (waits[1].readable ? &waits[1] : nullptr);
    if (first == nullptr || first->exceptional) break;
    SocketVar* source = first->socket;
    SocketVar* dest = source == &a ? &b : &a;
    // A receive that came back short found the socket empty: asking again
    // at once would find nothing.
    bool drained = false;
    int n = SocketAccess::ReadAhead(*source, buffer, kRelayBlock, true, &drained);
    if (n < 1) break;
    size_t used = static_cast<size_t>(n);
    while (!drained && used + kRelayBlock <= kRelayGather) {
      n = SocketAccess::ReadAhead(*source, buffer + used, kRelayBlock, false, &drained);
      if (n < 1) break;  // nothing more waiting, or the source has closed
      used += static_cast<size_t>(n);
    }
    if (!SendBuffer(*dest, buffer, used)) break;
  }
  CloseSocketVar(a);
  CloseSocketVar(b);
}

}  // namespace netrove
