#include "gates/portmap.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include "net/address_list.h"
#include "runtime/tasks.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr size_t kMaxDatagram = 60000;
constexpr int kRelayStopWaits = 200;  // 10 ms each

class UdpRelays;

}  // namespace

// The running mappings of one protocol. The address list is shared with
// the handlers, which may outlive a stop.
struct PortMaps::Set {
  std::mutex mu;
  std::vector<SocketVar> listeners;                // guarded by mu
  std::shared_ptr<AddressList> list;               // guarded by mu
  std::vector<std::shared_ptr<UdpRelays>> relays;  // guarded by mu; UDP only
};

// What the relay tasks share with the PortMaps, which they may outlive.
struct PortMaps::Shared {
  explicit Shared(int64_t life_ms) : reply_life_ms(life_ms) {}
  std::atomic<int> relays{0};  // relay tasks running
  std::atomic<int64_t> reply_life_ms;
};

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint32_t ServeTcpClient(Network& net, SocketVar& client, const std::string& target,
                        AddressList& list) {
  if (!net.access().CheckClientOrDeny(client, list)) return 0;
  LinkUse link(net.link_users(), &client);
  if (!link.held()) return 0;
  SocketVar remote = net.connector().Connect(target, 0);
  if (!remote.is_open()) {
    CloseSocketVar(client);
    return 0;
  }
  SetNoDelay(client);
  SetNoDelay(remote);
  RelaySockets(client, remote);
  return 0;
}

// The relay of one client (address and port) of a UDP mapping: a socket of
// its own connected to the target, so that only the target's replies come
// back, and the task that passes each reply to the client through the
// listening socket. It lives until both sides have been silent for the
// reply life.
// Other tasks reach the socket only under its lock, so that none of them
// touches its descriptor number once the relay's task has closed it (and
// the number may belong to another socket).
struct UdpRelay {
  explicit UdpRelay(const sockaddr_in& from) : client(from), last_ms(NowMs()) {}
  const sockaddr_in client;
  SocketVar remote;  // set before the relay is published, closed by its task (Close)
  std::atomic<int64_t> last_ms;
  std::atomic<bool> evicted{false};

  void Touch() { last_ms.store(NowMs()); }
  // A datagram of the client to the target.
  void Send(const char* data, size_t length) {
    std::lock_guard<std::mutex> lock(mu);
    Touch();
    if (remote.is_open()) (void)send(remote.handle(), data, length, MSG_NOSIGNAL);
  }
  // Ends the relay early: wakes its task, which then closes the socket.
  void Evict() {
    std::lock_guard<std::mutex> lock(mu);
    if (!evicted.exchange(true) && remote.is_open()) shutdown(remote.handle(), SHUT_RDWR);
  }
  void Close() {
    std::lock_guard<std::mutex> lock(mu);
    CloseSocketVar(remote);
  }

 private:
  std::mutex mu;
};

// The relays of one UDP mapping, at most kMaxUdpRelays; when full, the one
// silent longest makes room.
class UdpRelays {
 public:
  UdpRelays(Access& access, uint16_t port) : access_(access), port_(port) {}

  static uint64_t KeyOf(const sockaddr_in& a) {
    return (static_cast<uint64_t>(a.sin_addr.s_addr) << 16) | a.sin_port;
  }
  std::shared_ptr<UdpRelay> Find(const sockaddr_in& client) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = relays_.find(KeyOf(client));
    if (it == relays_.end() || it->second->evicted.load()) return nullptr;
    return it->second;
  }
  // Publishes a new relay, or returns the one another datagram of the same
  // client published meanwhile (then `relay` is not used). Null when the
  // mapping has stopped.
  std::shared_ptr<UdpRelay> Add(const std::shared_ptr<UdpRelay>& relay) {
    std::shared_ptr<UdpRelay> oldest;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopped_) return nullptr;
      auto& slot = relays_[KeyOf(relay->client)];
      if (slot && !slot->evicted.load()) return slot;
      slot = relay;
      if (relays_.size() > static_cast<size_t>(kMaxUdpRelays)) {
        auto victim = std::min_element(relays_.begin(), relays_.end(), [](auto& a, auto& b) {
          return a.second->last_ms.load() < b.second->last_ms.load();
        });
        oldest = victim->second;
        relays_.erase(victim);
      }
    }
    if (oldest) {
      oldest->Evict();
      access_.WarnDroppedDatagram(DottedAddress(oldest->client.sin_addr.s_addr), port_);
    }
    return relay;
  }
  void Remove(const std::shared_ptr<UdpRelay>& relay) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = relays_.find(KeyOf(relay->client));
    if (it != relays_.end() && it->second == relay) relays_.erase(it);
  }
  // Ends every relay; they close within moments.
  void Stop() {
    std::map<uint64_t, std::shared_ptr<UdpRelay>> relays;
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopped_ = true;
      relays.swap(relays_);
    }
    for (auto& [key, relay] : relays) relay->Evict();
  }

 private:
  Access& access_;
  const uint16_t port_;
  std::mutex mu_;
  std::map<uint64_t, std::shared_ptr<UdpRelay>> relays_;  // guarded by mu_
  bool stopped_ = false;                                  // guarded by mu_
};

// Counts a relay's task while it runs.
class RelayCount {
 public:
  explicit RelayCount(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
  ~RelayCount() { count_.fetch_sub(1); }
  RelayCount(const RelayCount&) = delete;
  RelayCount& operator=(const RelayCount&) = delete;

 private:
  std::atomic<int>& count_;
};

// A new relay: its socket connected to the target. Null when the target
// does not resolve or cannot be reached.
std::shared_ptr<UdpRelay> MakeRelay(Network& net, const sockaddr_in& client,
                                    const UdpTarget& target) {
  uint32_t address = net.resolver().Resolve(target.host);
  if (address == kNoAddress) return nullptr;
  auto relay = std::make_shared<UdpRelay>(client);
  relay->remote = SocketVar(net.sockets(), socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!relay->remote.is_open()) return nullptr;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(target.port);
  to.sin_addr.s_addr = address;
  if (connect(relay->remote.handle(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
    return nullptr;
  return relay;
}

// Passes the target's replies to the client until both sides have been
// silent for the reply life, or the relay is evicted.
void PumpReplies(const std::atomic<int64_t>& reply_life_ms, int listen_fd, UdpRelay& relay,
                 std::vector<char>& buffer) {
  const int fd = relay.remote.handle();
  while (!relay.evicted.load()) {
    int64_t left = relay.last_ms.load() + reply_life_ms.load() - NowMs();
    if (left <= 0) return;
    struct pollfd p = {fd, POLLIN, 0};
    int r = TaskPoll(&p, 1, static_cast<int>(std::min<int64_t>(left, 60000)));
    if (r < 0) return;  // stopped
    if (r == 0 || relay.evicted.load()) continue;
    ssize_t got = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return;  // e.g. the target's port is closed (ICMP refused)
    }
    relay.Touch();
    (void)sendto(listen_fd, buffer.data(), static_cast<size_t>(got), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&relay.client), sizeof relay.client);
  }
}

uint32_t ServeDatagram(Network& net, PortMaps::Shared& shared, UdpDatagramTicket& ticket,
                       const std::string& target, AddressList& list, UdpRelays& relays) {
  std::vector<char> buffer(kMaxDatagram);
  sockaddr_in sender{};
  int length = ticket.ReceiveDatagram(buffer.data(), buffer.size(), &sender);
  if (length < 1) return 0;
  // The listening socket stays open while this task runs.
  int listen_fd = ticket.socket();
  if (!net.access().ClientAllowedUdp(listen_fd, sender, list)) return 0;
  LinkUse link(net.link_users(), nullptr);
  if (!link.held()) return 0;
  if (std::shared_ptr<UdpRelay> relay = relays.Find(sender)) {
    relay->Send(buffer.data(), static_cast<size_t>(length));
    return 0;
  }
  std::optional<UdpTarget> parsed = ParseUdpTarget(target);
  std::shared_ptr<UdpRelay> relay = parsed ? MakeRelay(net, sender, *parsed) : nullptr;
  if (!relay) {
    net.access().WarnDroppedDatagram(DottedAddress(sender.sin_addr.s_addr),
                                     GetLocalPort(listen_fd));
    return 0;
  }
  std::shared_ptr<UdpRelay> published = relays.Add(relay);
  if (published != relay) {
    // Stopped, or a relay of this client came up meanwhile.
    if (published) published->Send(buffer.data(), static_cast<size_t>(length));
    return 0;
  }
  RelayCount count(shared.relays);
  if (send(relay->remote.handle(), buffer.data(), static_cast<size_t>(length), MSG_NOSIGNAL) >= 0)
    PumpReplies(shared.reply_life_ms, listen_fd, *relay, buffer);
  relays.Remove(relay);
  relay->Close();
  return 0;
}

}  // namespace

PortMaps::PortMaps(Network& network, Log& log, ConfigStore& config, const PortMapOptions& options)
    : network_(network),
      log_(log),
      config_(config),
      shared_(std::make_shared<Shared>(options.udp_reply_life_ms)),
      tcp_(std::make_unique<Set>()),
      udp_(std::make_unique<Set>()) {}

PortMaps::~PortMaps() {
  StopTcp();
  StopUdp();
}

void PortMaps::Start(bool udp) {
  Set& set = udp ? *udp_ : *tcp_;
  std::shared_ptr<const ConfigRecord> config = config_.Current();
  const std::vector<std::string>& lines = udp ? config->map_ulink : config->map_link;
  Network& net = network_;
  std::lock_guard<std::mutex> lock(set.mu);
  if (!set.listeners.empty() || lines.empty()) return;
  auto list = std::make_shared<AddressList>();
  const std::string file = FindFileAnyCase(net.env(), udp ? kMapULinkListName : kMapLinkListName);
  if (!LoadAddressList(net.env(), log_, file, *list, true)) return;
  set.list = list;
  for (const std::string& line : lines) {
    MappingLine mapping = SplitMappingLine(line);
    SocketVar listener;
    if (std::optional<uint16_t> port = ParsePortNumber(mapping.local_port); port && *port != 0) {
      std::string target = mapping.target;
      if (udp) {
        auto relays = std::make_shared<UdpRelays>(net.access(), *port);
        set.relays.push_back(relays);
        std::shared_ptr<Shared> shared = shared_;
        net.ports().ListenUdp(
            *port, listener,
            [&net, shared, target, list, relays](UdpDatagramTicket& ticket) {
              return ServeDatagram(net, *shared, ticket, target, *list, *relays);
            },
            mapping.hidden);
      } else {
        net.ports().ListenTcp(
            *port, listener,
            [&net, target, list](SocketVar& client) {
              return ServeTcpClient(net, client, target, *list);
            },
            mapping.hidden);
      }
    }
    if (listener.handle() < 1) {
      log_.Write("!NOT! map port " + mapping.local_port + ", port busy");
      continue;
    }
    log_.Write(std::string(udp ? "Maped UDP port " : "Maped port ") + mapping.local_port +
               ", linked to " + mapping.target);
    set.listeners.push_back(std::move(listener));
  }
}

void PortMaps::Stop(Set& set) {
  std::vector<SocketVar> listeners;
  std::vector<std::shared_ptr<UdpRelays>> relays;
  {
    std::lock_guard<std::mutex> lock(set.mu);
    listeners.swap(set.listeners);
    relays.swap(set.relays);
    set.list.reset();
  }
  for (SocketVar& listener : listeners) CloseSocketVar(listener);
  // The relays answer through the listening sockets and keep them bound:
  // they end now, so that a restart can bind the ports again.
  // Only the UDP mappings wait for them: the TCP ones have none, and
  // stopping them first must not wait for relays that still run.
  for (auto& r : relays) r->Stop();
  if (&set != udp_.get()) return;
  for (int i = 0; i < kRelayStopWaits && shared_->relays.load() > 0; ++i) (void)TaskSleep(10);
}

namespace {

int Running(PortMaps::Set& set) {
  std::lock_guard<std::mutex> lock(set.mu);
  int n = 0;
  for (const SocketVar& listener : set.listeners) n += listener.handle() >= 1 ? 1 : 0;
  return n;
}

}  // namespace

void PortMaps::StartTcp() { Start(false); }
void PortMaps::StartUdp() { Start(true); }
void PortMaps::StopTcp() { Stop(*tcp_); }
void PortMaps::StopUdp() { Stop(*udp_); }
int PortMaps::RunningTcp() { return Running(*tcp_); }
int PortMaps::RunningUdp() { return Running(*udp_); }
int PortMaps::ActiveUdpRelays() const { return shared_->relays.load(); }
void PortMaps::SetUdpReplyLife(int64_t ms) { shared_->reply_life_ms.store(ms); }

}  // namespace netrove
