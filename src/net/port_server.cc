#include "net/port_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <vector>

#include "net/access.h"
#include "net/client_caps.h"
#include "net/resolver.h"
#include "runtime/tasks.h"

namespace netrove {

// The descriptor of a listening socket, closed with the last reference:
// the table's entry and, for UDP, the handler tasks still answering
// through it.
struct SocketOwner {
  explicit SocketOwner(int socket_fd) : fd(socket_fd) {}
  ~SocketOwner() {
    if (fd >= 0) close(fd);
  }
  SocketOwner(const SocketOwner&) = delete;
  SocketOwner& operator=(const SocketOwner&) = delete;
  const int fd;
};

struct PortServers::Table {
  Table(const char* task_name, bool datagram) : name(task_name), udp(datagram) {}
  const char* const name;
  const bool udp;
  std::mutex mu;
  std::array<std::shared_ptr<ListenerEntry>, kListenerTableSize> entries;  // guarded by mu
  int highest = -1;                                                        // guarded by mu
  std::weak_ptr<Task> task;   // guarded by mu; the task table keeps it alive while it runs
  bool task_running = false;  // guarded by mu
};

struct ListenerEntry {
  ListenerEntry(int socket_fd, bool datagram, std::weak_ptr<PortServers::Table> owning_table)
      : fd(socket_fd),
        udp(datagram),
        table(std::move(owning_table)),
        owner(std::make_shared<SocketOwner>(socket_fd)) {}

  const int fd;  // the number, for naming; use `owner` to touch the socket
  const bool udp;
  const std::weak_ptr<PortServers::Table> table;
  TcpHandler tcp_handler;
  UdpHandler udp_handler;
  sockaddr_in address{};
  std::atomic<bool> registered{true};
  // Opened by ListenTcpLoopback: its clients are this program's own
  // connections, not counted per address.
  bool internal = false;
  std::shared_ptr<SocketOwner> owner;  // guarded by the table's mutex once registered
  // Client tasks of this listener that are alive (TCP).
  const std::shared_ptr<std::atomic<int>> clients = std::make_shared<std::atomic<int>>(0);
};

void AttachListener(SocketVar& var, SocketLayer& layer, std::shared_ptr<ListenerEntry> entry) {
  var.fd_ = entry->fd;
  var.layer_ = &layer;
  var.listener_ = std::move(entry);
}

namespace {

using Table = PortServers::Table;

// Linux takes this as the accept queue length (capped by
// net.core.somaxconn). A short queue drops bursts of clients into SYN
// retransmission, and a handshake completed late may lose the client's
// FIN to the same overflow: the relay then waits for the FIN's
// retransmission, seconds after the client has gone. Five, the historic
// value, and even 128 overflow under a burst of a few thousand clients on
// a busy machine.
constexpr int kListenBacklog = SOMAXCONN;
// Connections (or datagrams) taken from one listener after one wait, at most.
constexpr int kAcceptsPerWait = 16;
// Largest datagram taken (larger ones are cut).
constexpr size_t kMaxDatagramSize = 65536;

// Marks the entry gone and closes its socket (at once, unless a UDP
// handler still answers through it). Caller holds the table's mutex.
void Unregister(ListenerEntry& entry) {
  if (entry.registered.exchange(false) && !entry.udp && entry.owner)
    shutdown(entry.owner->fd, SHUT_RDWR);
  entry.owner.reset();
}

// The socket of a registered entry, or null when it was dropped meanwhile.
std::shared_ptr<SocketOwner> OwnerOf(Table& table, const ListenerEntry& entry) {
  std::lock_guard<std::mutex> lock(table.mu);
  return entry.registered.load() ? entry.owner : nullptr;
}

std::vector<std::shared_ptr<ListenerEntry>> Snapshot(Table& table) {
  std::vector<std::shared_ptr<ListenerEntry>> snap;
  std::lock_guard<std::mutex> lock(table.mu);
  for (int i = 0; i <= table.highest; ++i)
    if (table.entries[i]) snap.push_back(table.entries[i]);
  if (snap.empty()) {
    table.task_running = false;
    table.highest = -1;
  }
  return snap;
}

// Caller holds table.mu. False when the table is full.
bool RegisterLocked(Table& table, const std::shared_ptr<ListenerEntry>& entry) {
  for (int slot = 0; slot < kListenerTableSize; ++slot) {
    if (table.entries[slot]) continue;
    table.entries[slot] = entry;
    if (slot > table.highest) table.highest = slot;
    return true;
  }
  return false;
}

int CountOf(Table& table) {
  std::lock_guard<std::mutex> lock(table.mu);
  int n = 0;
  for (const auto& e : table.entries) n += e ? 1 : 0;
  return n;
}

void ShutdownTable(Table& table) {
  TaskHandle task;
  {
    std::lock_guard<std::mutex> lock(table.mu);
    task = table.task.lock();
    table.task.reset();
  }
  Tasks::Stop(task);
  std::lock_guard<std::mutex> lock(table.mu);
  for (auto& e : table.entries) {
    if (e) Unregister(*e);
    e.reset();
  }
  table.highest = -1;
  table.task_running = false;
}

}  // namespace

PortServers::PortServers(Tasks& tasks, SocketLayer& sockets, Access& access, Resolver& resolver,
                         ClientCaps& caps)
    : tasks_(tasks),
      sockets_(sockets),
      access_(access),
      resolver_(resolver),
      caps_(caps),
      tcp_(std::make_shared<Table>("Port server", false)),
      udp_(std::make_shared<Table>("UPort server", true)) {}

PortServers::~PortServers() {
  Shutdown();
  std::vector<std::weak_ptr<Task>> clients;
  {
    std::lock_guard<std::mutex> lock(clients_mu_);
    clients.swap(clients_);
  }
  for (const std::weak_ptr<Task>& weak : clients) {
    TaskHandle task = weak.lock();
    Tasks::Stop(task);
  }
}

void PortServers::KeepClient(const std::shared_ptr<Task>& task) {
  std::lock_guard<std::mutex> lock(clients_mu_);
  if (clients_.size() >= prune_at_) {
    std::erase_if(clients_, [](const std::weak_ptr<Task>& weak) {
      TaskHandle t = weak.lock();
      return !t || !Tasks::Running(t);
    });
    prune_at_ = std::max<size_t>(64, 2 * clients_.size());
  }
  clients_.push_back(task);
}

// A client beyond the caps, or one no task can be started for, is closed
// at once and reported (rate-limited).
void PortServers::StartTcpClient(const std::shared_ptr<ListenerEntry>& entry, int accepted,
                                 uint32_t address) {
  // Closed even if the task never runs.
  auto client = std::make_shared<SocketVar>(sockets_, accepted);
  std::shared_ptr<ClientCaps::Claim> claim = caps_.Admit(address, entry->clients, !entry->internal);
  TaskHandle task;
  if (claim) {
    std::weak_ptr<ListenerEntry> weak = entry;
    HoldUntilClosed(*client, claim);
    task = tasks_.TryStart("Socket " + std::to_string(entry->fd),
                           [client, weak](uint32_t) -> uint32_t {
                             TcpHandler handler;
                             if (auto e = weak.lock(); e && e->registered.load())
                               handler = e->tcp_handler;
                             uint32_t result = 0;
                             if (handler) result = handler(*client);
                             CloseSocketVar(*client);
                             return result;
                           });
  }
  if (task) return KeepClient(task);
  CloseSocketVar(*client);
  access_.WarnOverloadedClient(DottedAddress(address), ntohs(entry->address.sin_port));
}

// Takes the waiting datagram off the socket and starts its handler task;
// a datagram beyond the caps is dropped and reported. False when none was
// waiting.
bool PortServers::HandOverDatagram(const std::shared_ptr<ListenerEntry>& entry,
                                   const std::shared_ptr<SocketOwner>& owner,
                                   std::vector<char>& buffer) {
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n = recvfrom(owner->fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) return false;
  auto ticket = std::make_shared<UdpDatagramTicket>(
      owner->fd, std::string(buffer.data(), static_cast<size_t>(n)), from);
  uint32_t address = from.sin_addr.s_addr;
  std::shared_ptr<ClientCaps::Claim> claim = caps_.Admit(address, entry->clients);
  UdpHandler handler = entry->udp_handler;
  // The task keeps the socket open while the handler answers through it.
  TaskHandle task;
  if (claim) {
    task = tasks_.TryStart(
        "USocket " + std::to_string(entry->fd),
        [ticket, handler, owner, claim](uint32_t) -> uint32_t { return handler(*ticket); });
  }
  if (task)
    KeepClient(task);
  else
    access_.WarnDroppedDatagram(DottedAddress(address), ntohs(entry->address.sin_port));
  return true;
}

uint32_t PortServers::Serve(Table& table) {
  std::vector<char> buffer(table.udp ? kMaxDatagramSize : 0);  // datagrams are taken into it
  for (;;) {
    std::vector<std::shared_ptr<ListenerEntry>> snap = Snapshot(table);
    if (snap.empty()) return 0;
    std::vector<struct pollfd> fds;
    for (const auto& e : snap) fds.push_back({e->fd, POLLIN | POLLPRI, 0});
    int r = TaskPoll(fds.data(), fds.size(), static_cast<int>(sockets_.Timings().listener_poll_ms));
    if (TaskStopRequested()) return 0;
    if (r <= 0) continue;
    bool exception = false;
    for (size_t i = 0; i < snap.size(); ++i) {
      short rev = fds[i].revents;
      if (snap[i]->registered.load() && (rev & (POLLERR | POLLNVAL | POLLPRI | POLLHUP))) {
        DropListener(snap[i]);
        exception = true;
      }
    }
    if (exception) continue;
    for (size_t i = 0; i < snap.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      std::shared_ptr<SocketOwner> owner = OwnerOf(table, *snap[i]);
      if (!owner) continue;
      if (table.udp) {
        // Datagrams that came in together are taken without a wait each.
        for (int taken = 0; taken < kAcceptsPerWait && HandOverDatagram(snap[i], owner, buffer);
             ++taken) {
        }
        continue;
      }
      // Connections that came in together are taken without a wait each.
      for (int taken = 0; taken < kAcceptsPerWait; ++taken) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int accepted = accept4(owner->fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (accepted < 0) break;
        StartTcpClient(snap[i], accepted, peer.sin_addr.s_addr);
      }
    }
  }
}

void PortServers::Listen(Table& table, uint32_t address, uint16_t port, SocketVar& var,
                         TcpHandler tcp_handler, UdpHandler udp_handler, bool internal) {
  CloseSocketVar(var);
  int type = table.udp ? SOCK_DGRAM : SOCK_STREAM;
  int fd =
      socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, table.udp ? IPPROTO_UDP : IPPROTO_TCP);
  if (fd < 0) return;
  std::shared_ptr<Table> shared = table.udp ? udp_ : tcp_;
  auto entry = std::make_shared<ListenerEntry>(fd, table.udp, shared);  // owns fd from here on
  entry->internal = internal;
  // TCP: rebinding over connections in TIME_WAIT. Not for UDP, where the
  // option lets a second socket bind the same port and take its datagrams.
  int one = 1;
  if (!table.udp) (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  entry->address.sin_family = AF_INET;
  entry->address.sin_port = htons(port);
  entry->address.sin_addr.s_addr = address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&entry->address), sizeof entry->address) != 0) return;
  if (!table.udp && listen(fd, kListenBacklog) != 0) return;
  socklen_t len = sizeof entry->address;
  (void)getsockname(fd, reinterpret_cast<sockaddr*>(&entry->address), &len);
  entry->tcp_handler = std::move(tcp_handler);
  entry->udp_handler = std::move(udp_handler);

  bool start_task = false;
  {
    std::lock_guard<std::mutex> lock(table.mu);
    if (!RegisterLocked(table, entry)) return;  // table full: closed with `entry`
    AttachListener(var, sockets_, entry);
    start_task = !table.task_running;
    table.task_running = true;
  }
  if (!start_task) return;
  // Started outside the table's lock: a failed start must not wait on it.
  TaskHandle task = tasks_.TryStart(table.name, [this, &table](uint32_t) { return Serve(table); });
  if (!task) {
    CloseSocketVar(var);  // drops the entry from the table
    std::lock_guard<std::mutex> lock(table.mu);
    table.task_running = false;
    return;
  }
  std::lock_guard<std::mutex> lock(table.mu);
  table.task = task;
}

int UdpDatagramTicket::ReceiveDatagram(char* buffer, size_t length, sockaddr_in* from) {
  if (taken_) return -1;
  taken_ = true;
  size_t n = std::min(length, data_.size());
  std::memcpy(buffer, data_.data(), n);
  if (from) *from = from_;
  return static_cast<int>(n);
}

void PortServers::ListenTcp(uint16_t port, SocketVar& var, TcpHandler handler, bool hidden) {
  uint32_t address = hidden ? resolver_.LocalInterfaceAddress() : htonl(INADDR_ANY);
  Listen(*tcp_, address, port, var, std::move(handler), nullptr);
}

void PortServers::ListenTcpLoopback(uint16_t port, SocketVar& var, TcpHandler handler) {
  Listen(*tcp_, htonl(INADDR_LOOPBACK), port, var, std::move(handler), nullptr, true);
}

void PortServers::ListenUdp(uint16_t port, SocketVar& var, UdpHandler handler, bool hidden) {
  uint32_t address = hidden ? resolver_.LocalInterfaceAddress() : htonl(INADDR_ANY);
  Listen(*udp_, address, port, var, nullptr, std::move(handler));
}

int PortServers::TcpListenerCount() const { return CountOf(*tcp_); }
int PortServers::UdpListenerCount() const { return CountOf(*udp_); }

bool PortServers::IsTcpListenerPort(uint16_t port) const {
  std::lock_guard<std::mutex> lock(tcp_->mu);
  for (const auto& e : tcp_->entries)
    if (e && ntohs(e->address.sin_port) == port) return true;
  return false;
}

void PortServers::Shutdown() {
  ShutdownTable(*tcp_);
  ShutdownTable(*udp_);
}

void DropListener(const std::shared_ptr<ListenerEntry>& entry) {
  if (!entry) return;
  std::shared_ptr<Table> table = entry->table.lock();
  if (!table) {
    entry->registered = false;
    return;
  }
  std::lock_guard<std::mutex> lock(table->mu);
  for (auto& e : table->entries)
    if (e == entry) e.reset();
  Unregister(*entry);
}

bool ListenerRegistered(const std::shared_ptr<ListenerEntry>& entry) {
  return entry && entry->registered.load();
}

}  // namespace netrove
