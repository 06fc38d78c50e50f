#include "net/port_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <system_error>
#include <vector>

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
};

void AttachListener(SocketVar& var, std::shared_ptr<ListenerEntry> entry) {
  var.fd_ = entry->fd;
  var.listener_ = std::move(entry);
}

namespace {

// Linux takes this as the accept queue length; five (the historic value)
// drops bursts of clients into SYN retransmission.
constexpr int kListenBacklog = 128;
// Connections accepted from one listener after one wait, at most.
constexpr int kAcceptsPerWait = 16;

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

void StartTcpClient(const std::shared_ptr<ListenerEntry>& entry, int accepted) {
  auto client = std::make_shared<SocketVar>(accepted);  // closed even if the task never runs
  std::weak_ptr<ListenerEntry> weak = entry;
  try {
    StartTask("Socket " + std::to_string(entry->fd), [client, weak](uint32_t) -> uint32_t {
      TcpHandler handler;
      if (auto e = weak.lock(); e && e->registered.load()) handler = e->tcp_handler;
      uint32_t result = 0;
      if (handler) result = handler(*client);
      CloseSocketVar(*client);
      return result;
    });
  } catch (const std::system_error&) {
    CloseSocketVar(*client);
  }
}

void HandOverDatagram(const std::shared_ptr<ListenerEntry>& entry,
                      std::shared_ptr<SocketOwner> owner) {
  auto ticket = std::make_shared<UdpDatagramTicket>(owner->fd);
  UdpHandler handler = entry->udp_handler;
  try {
    // The task keeps the socket open while the handler answers through it.
    StartTask("USocket " + std::to_string(entry->fd),
              [ticket, handler, owner](uint32_t) -> uint32_t { return handler(*ticket); });
  } catch (const std::system_error&) {
  }
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(NetTimingsNow().udp_ticket_wait_ms);
  while (!ticket->taken()) {
    bool stopped = !TaskSleep(10);
    if (stopped || std::chrono::steady_clock::now() >= deadline) {
      if (ticket->Abandon()) {
        // Nobody took the datagram: drop it so the socket does not stay readable.
        char byte;
        (void)recv(owner->fd, &byte, 1, MSG_DONTWAIT);
        return;
      }
      if (stopped) return;
    }
  }
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
        HandOverDatagram(snap[i], std::move(owner));
        continue;
      }
      // Connections that came in together are taken without a wait each.
      for (int taken = 0; taken < kAcceptsPerWait; ++taken) {
        int accepted = accept4(owner->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted < 1) {
          if (accepted == 0) close(accepted);
          break;
        }
        StartTcpClient(snap[i], accepted);
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

  bool task_failed = false;
  {
    std::lock_guard<std::mutex> lock(table.mu);
    task_failed = !RegisterLocked(table, entry, var);
  }
  if (task_failed) CloseSocketVar(var);
}

// Caller holds table.mu. False when the listener task could not be started
// (the entry is then already removed again).
bool RegisterLocked(ListenerTable& table, const std::shared_ptr<ListenerEntry>& entry,
                    SocketVar& var) {
  int slot = -1;
  for (int i = 0; i < kListenerTableSize; ++i) {
    if (!table.entries[i]) {
      slot = i;
      break;
    }
  }
  if (slot < 0) return true;  // table full: the new socket is closed with `entry`
  table.entries[slot] = entry;
  if (slot > table.highest) table.highest = slot;
  AttachListener(var, entry);
  if (table.task_running) return true;
  try {
    table.task = StartTask(table.name, [&table](uint32_t) { return ServeListeners(table); });
    table.task_running = true;
    return true;
  } catch (const std::system_error&) {
    table.entries[slot].reset();
    Unregister(*entry);
    return false;
  }
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
  uint8_t expected = kWaiting;
  if (!state_.compare_exchange_strong(expected, kReading)) return -1;
  socklen_t len = sizeof(sockaddr_in);
  ssize_t n = recvfrom(fd_, buffer, length, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(from),
                       from ? &len : nullptr);
  state_.store(kTaken);
  return n < 0 ? -1 : static_cast<int>(n);
}

bool UdpDatagramTicket::Abandon() {
  uint8_t expected = kWaiting;
  return state_.compare_exchange_strong(expected, kAbandoned) || state_.load() == kAbandoned;
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
        while (TaskSleep(NetTimingsNow().cps_period_ms)) CalcCpsTick();
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
