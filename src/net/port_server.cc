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
#include "net/connect.h"
#include "net/net_settings.h"
#include "net/resolver.h"
#include "runtime/program.h"
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

struct ListenerEntry {
  ListenerEntry(int socket_fd, bool datagram)
      : fd(socket_fd), udp(datagram), owner(std::make_shared<SocketOwner>(socket_fd)) {}

  const int fd;  // the number, for naming; use `owner` to touch the socket
  const bool udp;
  TcpHandler tcp_handler;
  UdpHandler udp_handler;
  sockaddr_in address{};
  std::atomic<bool> registered{true};
  std::shared_ptr<SocketOwner> owner;  // guarded by the table's mutex once registered
  // Client tasks of this listener that are alive (TCP).
  const std::shared_ptr<std::atomic<int>> clients = std::make_shared<std::atomic<int>>(0);
};

void AttachListener(SocketVar& var, std::shared_ptr<ListenerEntry> entry) {
  var.fd_ = entry->fd;
  var.listener_ = std::move(entry);
}

namespace {

// Linux takes this as the accept queue length; five (the historic value)
// drops bursts of clients into SYN retransmission.
constexpr int kListenBacklog = 128;
// Connections (or datagrams) taken from one listener after one wait, at most.
constexpr int kAcceptsPerWait = 16;
// Largest datagram taken (larger ones are cut).
constexpr size_t kMaxDatagramSize = 65536;

struct ListenerTable {
  ListenerTable(const char* task_name, bool datagram) : name(task_name), udp(datagram) {}
  const char* const name;
  const bool udp;
  std::mutex mu;
  std::array<std::shared_ptr<ListenerEntry>, kListenerTableSize> entries;  // guarded by mu
  int highest = -1;                                                        // guarded by mu
  std::weak_ptr<Task> task;   // guarded by mu; the task table keeps it alive while it runs
  bool task_running = false;  // guarded by mu
};

ListenerTable& TcpTable() {
  static ListenerTable table("Port server", false);
  return table;
}

ListenerTable& UdpTable() {
  static ListenerTable table("UPort server", true);
  return table;
}

struct LayerTasks {
  std::mutex mu;
  TaskHandle calc_cps;
  TaskHandle bad_url_checker;
};

LayerTasks& Layer() {
  static LayerTasks tasks;
  return tasks;
}

// Marks the entry gone and closes its socket (at once, unless a UDP
// handler still answers through it). Caller holds the table's mutex.
void Unregister(ListenerEntry& entry) {
  if (entry.registered.exchange(false) && !entry.udp && entry.owner)
    shutdown(entry.owner->fd, SHUT_RDWR);
  entry.owner.reset();
}

// The socket of a registered entry, or null when it was dropped meanwhile.
std::shared_ptr<SocketOwner> OwnerOf(ListenerTable& table, const ListenerEntry& entry) {
  std::lock_guard<std::mutex> lock(table.mu);
  return entry.registered.load() ? entry.owner : nullptr;
}

std::vector<std::shared_ptr<ListenerEntry>> Snapshot(ListenerTable& table) {
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

// A client beyond the caps, or one no task can be started for, is closed
// at once and reported (rate-limited).
void RefuseClient(SocketVar& client, uint32_t address, const ListenerEntry& entry) {
  CloseSocketVar(client);
  WarnOverloadedClient(DottedAddress(address), ntohs(entry.address.sin_port));
}

void StartTcpClient(const std::shared_ptr<ListenerEntry>& entry, int accepted, uint32_t address) {
  auto client = std::make_shared<SocketVar>(accepted);  // closed even if the task never runs
  std::shared_ptr<ClientCaps::Claim> claim = PortServerCaps().Admit(address, entry->clients);
  if (!claim) return RefuseClient(*client, address, *entry);
  std::weak_ptr<ListenerEntry> weak = entry;
  TaskHandle task = TryStartTask("Socket " + std::to_string(entry->fd),
                                 [client, weak, claim](uint32_t) -> uint32_t {
                                   TcpHandler handler;
                                   if (auto e = weak.lock(); e && e->registered.load())
                                     handler = e->tcp_handler;
                                   uint32_t result = 0;
                                   if (handler) result = handler(*client);
                                   CloseSocketVar(*client);
                                   return result;
                                 });
  if (!task) RefuseClient(*client, address, *entry);
}

// Takes the waiting datagram off the socket and starts its handler task;
// a datagram beyond the caps is dropped and reported. False when none was
// waiting.
bool HandOverDatagram(const std::shared_ptr<ListenerEntry>& entry,
                      const std::shared_ptr<SocketOwner>& owner) {
  static thread_local std::vector<char> buffer(kMaxDatagramSize);
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n = recvfrom(owner->fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) return false;
  auto ticket = std::make_shared<UdpDatagramTicket>(
      owner->fd, std::string(buffer.data(), static_cast<size_t>(n)), from);
  uint32_t address = from.sin_addr.s_addr;
  std::shared_ptr<ClientCaps::Claim> claim = PortServerCaps().Admit(address, entry->clients);
  UdpHandler handler = entry->udp_handler;
  // The task keeps the socket open while the handler answers through it.
  TaskHandle task;
  if (claim) {
    task = TryStartTask(
        "USocket " + std::to_string(entry->fd),
        [ticket, handler, owner, claim](uint32_t) -> uint32_t { return handler(*ticket); });
  }
  if (!task) WarnDroppedDatagram(DottedAddress(address), ntohs(entry->address.sin_port));
  return true;
}

uint32_t ServeListeners(ListenerTable& table) {
  for (;;) {
    std::vector<std::shared_ptr<ListenerEntry>> snap = Snapshot(table);
    if (snap.empty()) return 0;
    std::vector<struct pollfd> fds;
    for (const auto& e : snap) fds.push_back({e->fd, POLLIN | POLLPRI, 0});
    int r = TaskPoll(fds.data(), fds.size(), static_cast<int>(NetTimingsNow().listener_poll_ms));
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
        for (int taken = 0; taken < kAcceptsPerWait && HandOverDatagram(snap[i], owner); ++taken) {
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

bool RegisterLocked(ListenerTable& table, const std::shared_ptr<ListenerEntry>& entry,
                    SocketVar& var);

void Listen(ListenerTable& table, uint32_t address, uint16_t port, SocketVar& var,
            TcpHandler tcp_handler, UdpHandler udp_handler) {
  CloseSocketVar(var);
  int type = table.udp ? SOCK_DGRAM : SOCK_STREAM;
  int fd =
      socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, table.udp ? IPPROTO_UDP : IPPROTO_TCP);
  if (fd < 0) return;
  auto entry = std::make_shared<ListenerEntry>(fd, table.udp);  // owns fd from here on
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
    if (!RegisterLocked(table, entry, var)) return;  // table full: closed with `entry`
    start_task = !table.task_running;
    table.task_running = true;
  }
  if (!start_task) return;
  // Started outside the table's lock: the exit chain takes that lock, and
  // a failed start must not wait on it.
  TaskHandle task = TryStartTask(table.name, [&table](uint32_t) { return ServeListeners(table); });
  if (!task) {
    CloseSocketVar(var);  // drops the entry from the table
    std::lock_guard<std::mutex> lock(table.mu);
    table.task_running = false;
    return;
  }
  std::lock_guard<std::mutex> lock(table.mu);
  table.task = task;
}

// Caller holds table.mu. False when the table is full.
bool RegisterLocked(ListenerTable& table, const std::shared_ptr<ListenerEntry>& entry,
                    SocketVar& var) {
  for (int slot = 0; slot < kListenerTableSize; ++slot) {
    if (table.entries[slot]) continue;
    table.entries[slot] = entry;
    if (slot > table.highest) table.highest = slot;
    AttachListener(var, entry);
    return true;
  }
  return false;
}

int CountOf(ListenerTable& table) {
  std::lock_guard<std::mutex> lock(table.mu);
  int n = 0;
  for (const auto& e : table.entries) n += e ? 1 : 0;
  return n;
}

void ShutdownTable(ListenerTable& table) {
  TaskHandle task;
  {
    std::lock_guard<std::mutex> lock(table.mu);
    task = table.task.lock();
    table.task.reset();
  }
  StopTask(task);
  std::lock_guard<std::mutex> lock(table.mu);
  for (auto& e : table.entries) {
    if (e) Unregister(*e);
    e.reset();
  }
  table.highest = -1;
  table.task_running = false;
}

}  // namespace

int UdpDatagramTicket::ReceiveDatagram(char* buffer, size_t length, sockaddr_in* from) {
  if (taken_) return -1;
  taken_ = true;
  size_t n = std::min(length, data_.size());
  std::memcpy(buffer, data_.data(), n);
  if (from) *from = from_;
  return static_cast<int>(n);
}

void ListenTcp(uint16_t port, SocketVar& var, TcpHandler handler, bool hidden) {
  uint32_t address = hidden ? LocalInterfaceAddress() : htonl(INADDR_ANY);
  Listen(TcpTable(), address, port, var, std::move(handler), nullptr);
}

void ListenTcpLoopback(uint16_t port, SocketVar& var, TcpHandler handler) {
  Listen(TcpTable(), htonl(INADDR_LOOPBACK), port, var, std::move(handler), nullptr);
}

void ListenUdp(uint16_t port, SocketVar& var, UdpHandler handler, bool hidden) {
  uint32_t address = hidden ? LocalInterfaceAddress() : htonl(INADDR_ANY);
  Listen(UdpTable(), address, port, var, nullptr, std::move(handler));
}

int TcpListenerCount() { return CountOf(TcpTable()); }
int UdpListenerCount() { return CountOf(UdpTable()); }

void DropListener(const std::shared_ptr<ListenerEntry>& entry) {
  if (!entry) return;
  ListenerTable& table = entry->udp ? UdpTable() : TcpTable();
  std::lock_guard<std::mutex> lock(table.mu);
  for (auto& e : table.entries)
    if (e == entry) e.reset();
  Unregister(*entry);
}

bool ListenerRegistered(const std::shared_ptr<ListenerEntry>& entry) {
  return entry && entry->registered.load();
}

void StartNetwork() {
  static std::once_flag once;
  std::call_once(once, [] {
    KeepStandardDescriptorsOpen();
    LayerTasks& layer = Layer();
    {
      std::lock_guard<std::mutex> lock(layer.mu);
      layer.calc_cps = StartTask("Calc CPS", [](uint32_t) -> uint32_t {
        while (TaskSleep(NetTimingsNow().cps_period_ms)) {
          CalcCpsTick();
          FlushRefusalSummaries();
        }
        return 0;
      });
      layer.bad_url_checker = StartBadUrlChecker();
    }
    LoadHostsFile();
    DetermineLocalInterface();
    AddExitProc(ShutdownNetwork);
  });
}

void ShutdownNetwork() {
  ShutdownTable(TcpTable());
  ShutdownTable(UdpTable());
  LayerTasks& layer = Layer();
  TaskHandle cps, checker;
  {
    std::lock_guard<std::mutex> lock(layer.mu);
    cps = std::move(layer.calc_cps);
    checker = std::move(layer.bad_url_checker);
  }
  StopTask(cps);
  StopTask(checker);
}

}  // namespace netrove
