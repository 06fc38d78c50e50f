// The SOCKS service's request reader, client handler and BIND ports.
#include "gates/socks.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "net/address_list.h"
#include "runtime/tasks.h"

namespace netrove {
namespace {

constexpr size_t kHeaderSize = 8;  // VN, CD, DSTPORT, DSTIP
constexpr uint32_t kAllOnes = 0xFFFFFFFFu;
constexpr int kBindBacklog = 50;

SocksRead Invalid() {
  SocksRead r;
  r.state = SocksRead::kInvalid;
  return r;
}

bool SendReply(SocketVar& client, uint8_t code, uint16_t port, uint32_t address) {
  uint8_t reply[kHeaderSize] = {0, code, static_cast<uint8_t>(port >> 8),
                                static_cast<uint8_t>(port & 0xFF)};
  std::memcpy(reply + 4, &address, 4);
  return SendBuffer(client, reply, sizeof reply);
}

}  // namespace

SocksRead ReadSocksRequest(std::span<const uint8_t> bytes) {
  SocksRead r;
  SocksRequest& q = r.request;
  r.count = 1;
  if (bytes.empty()) return r;
  q.version = bytes[0];
  if (q.version != 4 && q.version != 5) return Invalid();
  if (bytes.size() < 2) return r;
  q.command = bytes[1];
  if (q.command != kSocksConnect && q.command != kSocksBind) return Invalid();
  if (bytes.size() < 4) {
    r.count = 4 - bytes.size();
    return r;
  }
  q.port = static_cast<uint16_t>((bytes[2] << 8) | bytes[3]);
  if (q.port == 0) return Invalid();
  if (bytes.size() < kHeaderSize) {
    r.count = kHeaderSize - bytes.size();
    return r;
  }
  std::memcpy(&q.address, bytes.data() + 4, 4);
  if (q.address == kAllOnes) return Invalid();
  // USERID: up to kMaxSocksUserId bytes and its NUL.
  const size_t end = std::min(bytes.size(), kHeaderSize + kMaxSocksUserId + 1);
  for (size_t i = kHeaderSize; i < end; ++i) {
    if (bytes[i] != 0) continue;
    r.state = SocksRead::kComplete;
    r.count = i + 1;
    return r;
  }
  if (end == kHeaderSize + kMaxSocksUserId + 1) return Invalid();
  r.count = 1;
  return r;
}

struct SocksService::Core : std::enable_shared_from_this<SocksService::Core> {
  Core(Network& n, Log& l, const SocksOptions& o) : net(n), log(l), options(o) {}

  uint32_t Session(SocketVar& client);
  bool ReadRequest(SocketVar& client, SocksRequest& request);
  // True (after the warning) when the destination is one of our own ports.
  bool RefusedAsOwn(SocketVar& client, uint32_t address, uint16_t port);
  bool OwnService(uint32_t address, uint16_t port);
  void Bind(SocketVar& client, const SocksRequest& request);

  // One BIND port: its listener and where its connections go.
  struct BindPort {
    SocketVar listener;
    uint32_t address = 0;  // network order
    uint16_t port = 0;
    uint16_t local_port = 0;
  };
  // "Map socks": relays each connection to the destination until the port
  // stays idle for the bind time, a connect fails or the task is stopped.
  void MapSocks(BindPort& bind);

  Network& net;
  Log& log;
  const SocksOptions options;
  AddressList socks4;
  AddressList socks5;
  std::atomic<bool> readable4{false};
  std::atomic<bool> readable5{false};

  mutable std::mutex mu;
  bool running = false;  // guarded by mu
  // The open BIND ports by local port: the client that asked, and the task.
  struct BindEntry {
    uint32_t client = 0;
    const BindPort* port = nullptr;  // tells a reused port number from ours
    TaskHandle task;
  };
  std::map<uint16_t, BindEntry> binds;  // guarded by mu
};

bool SocksService::Core::ReadRequest(SocketVar& client, SocksRequest& request) {
  std::vector<uint8_t> bytes;
  bool admitted = false;
  // Each pass reads at least one byte; the request is at most this long.
  for (size_t pass = 0; pass <= kHeaderSize + kMaxSocksUserId + 1; ++pass) {
    SocksRead read = ReadSocksRequest(bytes);
    if (read.state == SocksRead::kInvalid) return false;
    if (read.state == SocksRead::kComplete) {
      request = read.request;
      return true;
    }
    if (!bytes.empty() && !admitted) {
      // The version chooses the list that must admit the client.
      const bool v4 = bytes[0] == 4;
      if (!(v4 ? readable4 : readable5).load()) return false;
      if (!net.access().CheckClientOrDeny(client, v4 ? socks4 : socks5)) return false;
      admitted = true;
    }
    // Exactly what is still needed, so that nothing after the request is
    // taken from the read-ahead the relay passes on.
    char chunk[kHeaderSize];
    const int got = ReadBuffered(client, chunk, std::min(read.count, sizeof chunk));
    if (got < 1) return false;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  return false;
}

bool SocksService::Core::OwnService(uint32_t address, uint16_t port) {
  if (!IsOwnAddress(address)) return false;
  if (net.ports().IsTcpListenerPort(port)) return true;
  std::lock_guard<std::mutex> lock(mu);
  return binds.count(port) != 0;
}

bool SocksService::Core::RefusedAsOwn(SocketVar& client, uint32_t address, uint16_t port) {
  if (!OwnService(address, port)) return false;
  net.access().WarnDeniedClient(client);
  return true;
}

uint32_t SocksService::Core::Session(SocketVar& client) {
  if (!net.access().ClientAllowed(client, socks4) && !net.access().ClientAllowed(client, socks5)) {
    CloseSocketVar(client);
    return 0;
  }
  SocksRequest request;
  if (!ReadRequest(client, request)) {
    CloseSocketVar(client);
    return 0;
  }
  LinkUse link(net.link_users(), &client);
  if (!link.held()) return 0;
  if (request.command == kSocksBind) {
    Bind(client, request);
    return 0;
  }
  SocketVar remote;
  if (!RefusedAsOwn(client, request.address, request.port))
    remote = net.connector().Connect(DottedAddress(request.address), request.port);
  const uint8_t code = remote.is_open() ? kSocksGranted : kSocksRejected;
  if (!SendReply(client, code, request.port, request.address) || !remote.is_open()) {
    CloseSocketVar(remote);
    CloseSocketVar(client);
    return 0;
  }
  SetNoDelay(client);
  SetNoDelay(remote);
  RelaySockets(client, remote);
  return 0;
}

void SocksService::Core::Bind(SocketVar& client, const SocksRequest& request) {
  const uint32_t peer = GetPeerAddress(client.handle());
  auto bind = std::make_shared<BindPort>();
  bind->address = request.address;
  bind->port = request.port;
  if (!RefusedAsOwn(client, request.address, request.port)) {
    bind->listener = SocketVar(net.sockets(), socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind->listener.is_open() &&
        (::bind(bind->listener.handle(), reinterpret_cast<const sockaddr*>(&any), sizeof any) !=
             0 ||
         listen(bind->listener.handle(), kBindBacklog) != 0))
      CloseSocketVar(bind->listener);
    if (bind->listener.is_open()) bind->local_port = GetLocalPort(bind->listener.handle());
  }
  bool started = false;
  if (bind->local_port != 0) {
    std::lock_guard<std::mutex> lock(mu);
    const auto held = std::count_if(binds.begin(), binds.end(),
                                    [peer](const auto& b) { return b.second.client == peer; });
    if (running && held < options.max_binds_per_client) {
      BindEntry& entry = binds[bind->local_port];
      entry.client = peer;
      entry.port = bind.get();
      std::shared_ptr<Core> core = shared_from_this();
      TaskHandle task = net.tasks().TryStart(kMapSocksTask, [core, bind](uint32_t) -> uint32_t {
        core->MapSocks(*bind);
        return 0;
      });
      // The task leaves the table as it ends, which waits for this lock.
      if (task) {
        entry.task = std::move(task);
        started = true;
      } else {
        binds.erase(bind->local_port);
      }
    }
  }
  // The task owns the port now; without one it closes here.
  if (!started) bind.reset();
  (void)SendReply(client, started ? kSocksGranted : kSocksRejected,
                  started ? bind->local_port : request.port, started ? 0 : request.address);
  CloseSocketVar(client);
}

void SocksService::Core::MapSocks(BindPort& bind) {
  struct Forget {  // the port leaves the table when the task ends
    Core& core;
    const BindPort& bind;
    ~Forget() {
      std::lock_guard<std::mutex> lock(core.mu);
      auto it = core.binds.find(bind.local_port);
      if (it != core.binds.end() && it->second.port == &bind) core.binds.erase(it);
    }
  } forget{*this, bind};
  const int wait_ms = static_cast<int>(std::clamp<int64_t>(options.bind_idle_ms, 1, 1 << 30));
  while (bind.listener.is_open()) {
    struct pollfd p = {bind.listener.handle(), POLLIN, 0};
    // Nothing within the bind time, the stop, or a listener gone bad.
    if (TaskPoll(&p, 1, wait_ms) < 1 || (p.revents & (POLLERR | POLLNVAL)) != 0) break;
    const int fd = accept4(bind.listener.handle(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) continue;
      break;
    }
    SocketVar incoming(net.sockets(), fd);
    if (OwnService(bind.address, bind.port)) break;
    // The relay uses the link like any client of the service; the client
    // that asked for the port was admitted already.
    LinkUse link(net.link_users(), nullptr);
    if (!link.held()) break;
    SocketVar remote = net.connector().Connect(DottedAddress(bind.address), bind.port);
    if (!remote.is_open()) break;
    SetNoDelay(incoming);
    SetNoDelay(remote);
    RelaySockets(incoming, remote);
  }
  CloseSocketVar(bind.listener);
}

SocksService::SocksService(Network& net, Log& log, ConfigStore& config, SocksOptions options)
    : net_(net), config_(config), core_(std::make_shared<Core>(net, log, options)) {}

SocksService::~SocksService() { Stop(); }

bool SocksService::Start() {
  return listener_.Open([this](SocketVar& listener) {
    std::shared_ptr<const ConfigRecord> config = config_.Current();
    if (config->socks4 == 0) return;
    Core& core = *core_;
    core.readable4 = LoadAddressList(net_.env(), core.log, kSocks4ListFile, core.socks4, true);
    core.readable5 = LoadAddressList(net_.env(), core.log, kSocks5ListFile, core.socks5, true);
    if (!core.readable4 && !core.readable5) return;
    {
      std::lock_guard<std::mutex> core_lock(core.mu);
      core.running = true;
    }
    net_.ports().ListenTcp(
        config->socks4, listener,
        [shared = core_](SocketVar& client) { return shared->Session(client); },
        config->hide_socks4);
  });
}

void SocksService::Stop() {
  std::map<uint16_t, Core::BindEntry> binds;
  listener_.Close([&] {
    std::lock_guard<std::mutex> core_lock(core_->mu);
    core_->running = false;
    binds.swap(core_->binds);
  });
  // Each task closes its own port as it ends.
  for (auto& [port, entry] : binds) Tasks::Stop(entry.task);
}

bool SocksService::Running() const { return listener_.IsOpen(); }

int SocksService::OpenBinds() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return static_cast<int>(core_->binds.size());
}

}  // namespace netrove
