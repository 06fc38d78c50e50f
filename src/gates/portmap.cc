#include "gates/portmap.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>

#include "config/config.h"
#include "net/access.h"
#include "net/address_list.h"
#include "net/connect.h"
#include "net/link_users.h"
#include "net/port_server.h"
#include "net/resolver.h"
#include "runtime/log.h"
#include "runtime/tasks.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr size_t kMaxDatagram = 60000;

// The running mappings of one protocol. The address list is shared with
// the handlers, which may outlive a stop.
struct MappingSet {
  std::mutex mu;
  std::vector<SocketVar> listeners;   // guarded by mu
  std::shared_ptr<AddressList> list;  // guarded by mu
};

MappingSet& TcpMappings() {
  static MappingSet set;
  return set;
}

MappingSet& UdpMappings() {
  static MappingSet set;
  return set;
}

std::atomic<int> udp_relays{0};
std::atomic<int64_t> udp_reply_life_ms{300000};

void NoDelay(const SocketVar& s) {
  int one = 1;
  if (s.is_open()) (void)setsockopt(s.handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

uint32_t ServeTcpClient(SocketVar& client, const std::string& target, AddressList& list) {
  if (!CheckClientOrDeny(client, list)) return 0;
  LinkUse link(&client);
  if (!link.held()) return 0;
  SocketVar remote = ConnectToHost(target, 0);
  if (!remote.is_open()) {
    CloseSocketVar(client);
    return 0;
  }
  // Blocks are relayed as they arrive; waiting for the peer's ACK before
  // sending the second half of a request only adds latency.
  NoDelay(client);
  NoDelay(remote);
  RelaySockets(client, remote);
  return 0;
}

// Counts a datagram relay while it lives; refused beyond kMaxUdpRelays.
class RelaySlot {
 public:
  RelaySlot() : held_(udp_relays.fetch_add(1) < kMaxUdpRelays) {
    if (!held_) udp_relays.fetch_sub(1);
  }
  ~RelaySlot() {
    if (held_) udp_relays.fetch_sub(1);
  }
  RelaySlot(const RelaySlot&) = delete;
  RelaySlot& operator=(const RelaySlot&) = delete;
  bool held() const { return held_; }

 private:
  bool held_;
};

// Sends one datagram to the target from a socket of its own, connected to
// the target so that only its replies come back, and passes every reply to
// the first sender until the remote side has been silent for the reply life.
void RelayDatagram(int listen_fd, const sockaddr_in& sender, const UdpTarget& target,
                   std::vector<char>& buffer, size_t length) {
  uint32_t address = ResolveHost(target.host);
  if (address == kNoAddress) return;
  SocketVar remote(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!remote.is_open()) return;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(target.port);
  to.sin_addr.s_addr = address;
  int fd = remote.handle();
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return;
  if (send(fd, buffer.data(), length, MSG_NOSIGNAL) < 0) return;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (TaskPoll(&p, 1, static_cast<int>(udp_reply_life_ms.load())) <= 0) return;
    ssize_t got = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return;  // e.g. the target's port is closed (ICMP refused)
    }
    (void)sendto(listen_fd, buffer.data(), static_cast<size_t>(got), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&sender), sizeof sender);
  }
}

uint32_t ServeDatagram(UdpDatagramTicket& ticket, const std::string& target, AddressList& list) {
  std::vector<char> buffer(kMaxDatagram);
  sockaddr_in sender{};
  int length = ticket.ReceiveDatagram(buffer.data(), buffer.size(), &sender);
  if (length < 1) return 0;
  RelaySlot slot;
  if (!slot.held()) return 0;
  // The listening socket stays open while this task runs.
  int listen_fd = ticket.socket();
  if (!ClientAllowedUdp(listen_fd, sender, list)) return 0;
  LinkUse link(nullptr);
  if (!link.held()) return 0;
  std::optional<UdpTarget> parsed = ParseUdpTarget(target);
  if (!parsed) return 0;
  RelayDatagram(listen_fd, sender, *parsed, buffer, static_cast<size_t>(length));
  return 0;
}

void StartMappings(bool udp) {
  MappingSet& set = udp ? UdpMappings() : TcpMappings();
  std::shared_ptr<const ConfigRecord> config = CurrentConfig();
  const std::vector<std::string>& lines = udp ? config->map_ulink : config->map_link;
  std::lock_guard<std::mutex> lock(set.mu);
  if (!set.listeners.empty() || lines.empty()) return;
  auto list = std::make_shared<AddressList>();
  if (!LoadAddressList(FindFileAnyCase(udp ? kMapULinkListName : kMapLinkListName), *list, true))
    return;
  set.list = list;
  for (const std::string& line : lines) {
    MappingLine mapping = SplitMappingLine(line);
    SocketVar listener;
    if (std::optional<uint16_t> port = ParsePortNumber(mapping.local_port); port && *port != 0) {
      std::string target = mapping.target;
      if (udp) {
        ListenUdp(
            *port, listener,
            [target, list](UdpDatagramTicket& ticket) {
              return ServeDatagram(ticket, target, *list);
            },
            mapping.hidden);
      } else {
        ListenTcp(
            *port, listener,
            [target, list](SocketVar& client) { return ServeTcpClient(client, target, *list); },
            mapping.hidden);
      }
    }
    if (listener.handle() < 1) {
      Log("!NOT! map port " + mapping.local_port + ", port busy");
      continue;
    }
    Log(std::string(udp ? "Maped UDP port " : "Maped port ") + mapping.local_port + ", linked to " +
        mapping.target);
    set.listeners.push_back(std::move(listener));
  }
}

void StopMappings(MappingSet& set) {
  std::vector<SocketVar> listeners;
  {
    std::lock_guard<std::mutex> lock(set.mu);
    listeners.swap(set.listeners);
    set.list.reset();
  }
  for (SocketVar& listener : listeners) CloseSocketVar(listener);
}

int Running(MappingSet& set) {
  std::lock_guard<std::mutex> lock(set.mu);
  int n = 0;
  for (const SocketVar& listener : set.listeners) n += listener.handle() >= 1 ? 1 : 0;
  return n;
}

}  // namespace

MappingLine SplitMappingLine(const std::string& line) {
  MappingLine m;
  size_t first = line.find(',');
  m.local_port = line.substr(0, first);
  if (first == std::string::npos) return m;
  std::string rest = line.substr(first + 1);
  size_t second = rest.find(',');
  m.target = rest.substr(0, second);
  if (second != std::string::npos) {
    std::string visibility = rest.substr(second);
    m.hidden = visibility.size() >= 2 && (visibility[1] == 'H' || visibility[1] == 'h');
  }
  return m;
}

std::optional<UdpTarget> ParseUdpTarget(const std::string& target) {
  size_t colon = target.find(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  UdpTarget t;
  t.host = target.substr(0, colon);
  uint32_t port = 0;
  size_t digits = 0;
  for (size_t i = colon + 1; i < target.size() && digits < 5; ++i, ++digits) {
    char c = target[i];
    if (c < '0' || c > '9') break;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port == 0 || port > 65535) return std::nullopt;
  t.port = static_cast<uint16_t>(port);
  return t;
}

std::string FindFileAnyCase(const std::string& name) {
  DIR* dir = opendir(".");
  if (dir == nullptr) return name;
  std::string found;
  while (dirent* entry = readdir(dir)) {
    std::string candidate = entry->d_name;
    if (candidate == name) {
      found = candidate;
      break;
    }
    if (found.empty() && strcasecmp(candidate.c_str(), name.c_str()) == 0) found = candidate;
  }
  closedir(dir);
  return found.empty() ? name : found;
}

void StartTcpMappings() { StartMappings(false); }
void StartUdpMappings() { StartMappings(true); }
void StopTcpMappings() { StopMappings(TcpMappings()); }
void StopUdpMappings() { StopMappings(UdpMappings()); }
int RunningTcpMappings() { return Running(TcpMappings()); }
int RunningUdpMappings() { return Running(UdpMappings()); }
int ActiveUdpRelays() { return udp_relays.load(); }
void SetUdpReplyLifeForTesting(int64_t ms) { udp_reply_life_ms.store(ms); }

}  // namespace netrove
