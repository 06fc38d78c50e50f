#include "net/network.h"

namespace netrove {

Network::Network(Env& env, Tasks& tasks, Log& log, ConfigStore& config, SharedState& shared,
                 const NetOptions& options)
    : env_(env),
      tasks_(tasks),
      log_(log),
      config_(config),
      shared_(shared),
      sockets_(options.timings),
      resolver_(env, config, options.host_lookup, options.hosts_path),
      connector_(sockets_, resolver_),
      access_(env, log),
      link_users_(env, shared, access_, sockets_),
      caps_(options.max_clients_per_address, options.max_clients_per_listener,
            options.max_clients > 0 ? options.max_clients : TotalClientCap(DescriptorLimit())),
      ports_(tasks, sockets_, access_, resolver_, caps_) {}

Network::~Network() { Shutdown(); }

void Network::Start() {
  std::lock_guard<std::mutex> lock(mu_);
  if (started_) return;
  started_ = true;
  KeepStandardDescriptorsOpen();
  calc_cps_ = tasks_.Start("Calc CPS", [this](uint32_t) -> uint32_t {
    while (TaskSleep(sockets_.Timings().cps_period_ms)) {
      sockets_.CalcCpsTick();
      access_.FlushRefusalSummaries();
    }
    return 0;
  });
  bad_url_checker_ = connector_.StartBadUrlChecker(tasks_);
  resolver_.LoadHostsFile();
  resolver_.DetermineLocalInterface();
}

void Network::Shutdown() {
  ports_.Shutdown();
  Tasks::TakeAndStop(mu_, calc_cps_, bad_url_checker_);
}

uint32_t Network::AverageReceiveRate() { return sockets_.traffic().average_rate.load(); }

void Network::ZeroTrafficCounters() { sockets_.ResetTraffic(); }

void Network::EmptyFailedConnectCache() { connector_.ClearFailed(); }

std::string Network::LocalInterfaceDescription() { return resolver_.LocalInterfaceAddressText(); }

bool ServiceListener::Open(const std::function<void(SocketVar&)>& open) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!socket_.is_open()) open(socket_);
  return socket_.is_open();
}

void ServiceListener::Close(const std::function<void()>& after) {
  std::lock_guard<std::mutex> lock(mu_);
  CloseSocketVar(socket_);
  if (after) after();
}

bool ServiceListener::IsOpen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return socket_.is_open();
}

uint16_t ServiceListener::Port() const {
  std::lock_guard<std::mutex> lock(mu_);
  return socket_.is_open() ? GetLocalPort(socket_.handle()) : 0;
}

bool StartListenerService(Network& network, SocketVar& listener, uint16_t port, bool hidden,
                          std::span<const std::string> list_files, AddressList& list,
                          TcpHandler handler) {
  if (listener.handle() >= 1) return true;
  bool readable = false;
  for (const std::string& file : list_files) {
    if (LoadAddressList(network.env(), network.log(), file, list, true)) {
      readable = true;
      break;
    }
  }
  if (!readable) return false;
  network.ports().ListenTcp(port, listener, std::move(handler), hidden);
  return listener.handle() >= 1;
}

SocketVar ConnectOutside(Network& network, SocketVar& client, const std::string& target,
                         uint16_t default_port) {
  std::optional<HostTarget> host = ParseHostText(target, default_port);
  if (!host) return SocketVar();
  const uint32_t address = network.resolver().Resolve(host->name);
  if (address == kNoAddress) return SocketVar();
  if (IsOwnAddress(address) && network.ports().IsTcpListenerPort(host->port)) {
    network.access().WarnDeniedClient(client);
    return SocketVar();
  }
  return network.connector().Connect(DottedAddress(address), host->port);
}

}  // namespace netrove
