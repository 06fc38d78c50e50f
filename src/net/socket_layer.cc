// The socket layer's shared state (timings, traffic counters, the sockets
// not counted in the rate) and the address helpers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/socket.h"

namespace netrove {

uint16_t GetLocalPort(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  if (addr.sin_family != AF_INET) return 0;
  return ntohs(addr.sin_port);
}

uint32_t GetLocalAddress(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return addr.sin_family == AF_INET ? addr.sin_addr.s_addr : 0;
}

uint32_t GetPeerAddress(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  if (addr.sin_family != AF_INET) return 0;
  return addr.sin_addr.s_addr;
}

std::string DottedAddress(uint32_t network_order) {
  in_addr a{};
  a.s_addr = network_order;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

bool IsOwnAddress(uint32_t network_order) {
  const uint32_t host = ntohl(network_order);
  if (host == 0 || (host >> 24) == 127) return true;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool own = false;
  for (const ifaddrs* i = list; i != nullptr && !own; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    own = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == network_order;
  }
  freeifaddrs(list);
  return own;
}

std::string ReverseLookup(uint32_t network_order) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = network_order;
  char host[NI_MAXHOST] = {};
  if (getnameinfo(reinterpret_cast<sockaddr*>(&addr), sizeof addr, host, sizeof host, nullptr, 0,
                  NI_NAMEREQD) != 0)
    return "";
  return std::string(host).substr(0, 255);
}

NetTimings SocketLayer::Timings() const {
  std::lock_guard<std::mutex> lock(mu_);
  return timings_;
}

void SocketLayer::SetTimings(const NetTimings& timings) {
  std::lock_guard<std::mutex> lock(mu_);
  timings_ = timings;
}

void SocketLayer::ResetTraffic() {
  TrafficCounters& t = traffic_;
  for (auto* c : {&t.received_total, &t.sent_total, &t.received_tick, &t.sent_tick, &t.receive_rate,
                  &t.send_rate, &t.rate_sum, &t.rate_ticks, &t.average_rate})
    c->store(0);
}

namespace {
// n / d rounded to the nearest integer, halves to even.
uint32_t RoundedQuotient(uint32_t n, uint32_t d) {
  uint32_t q = n / d, r = n % d;
  uint64_t twice = 2ull * r;
  if (twice > d || (twice == d && (q & 1))) ++q;
  return q;
}
}  // namespace

void SocketLayer::CalcCpsTick() {
  TrafficCounters& t = traffic_;
  uint32_t received = t.received_tick.exchange(0);
  uint32_t sent = t.sent_tick.exchange(0);
  uint32_t rate = RoundedQuotient(received, 2);
  t.receive_rate.store(rate);
  t.send_rate.store(RoundedQuotient(sent, 2));
  t.sent_total.fetch_add(sent);
  if (rate != 0) {
    uint32_t sum = t.rate_sum.fetch_add(rate) + rate;
    uint32_t ticks = t.rate_ticks.fetch_add(1) + 1;
    t.average_rate.store(RoundedQuotient(sum, ticks));
  }
}

bool SocketLayer::AddUncounted(int fd) {
  if (fd < 1) return false;
  for (auto& slot : uncounted_) {
    int free_slot = 0;
    if (slot.compare_exchange_strong(free_slot, fd)) return true;
  }
  return false;
}

void SocketLayer::RemoveUncounted(int fd) {
  for (auto& slot : uncounted_) {
    int expected = fd;
    slot.compare_exchange_strong(expected, 0);
  }
}

bool SocketLayer::IsUncounted(int fd) const {
  for (const auto& slot : uncounted_)
    if (slot.load() == fd) return true;
  return false;
}

void KeepStandardDescriptorsOpen() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = open("/dev/null", O_RDWR);  // takes the lowest free number: this one
    if (opened >= 0 && opened != fd) close(opened);
  }
}

}  // namespace netrove
