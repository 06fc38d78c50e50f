// The network block of one program: the socket layer, the port servers,
// the resolver with its hosts-file cache, outgoing connections with their
// failure cache, the access checks and denial log, the dial-on-demand gate
// and the caps on client tasks. Made by the program context, which puts
// Shutdown into the exit chain; handed down by reference.
//
// Thread safety: every member may be called from any task.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>

#include "config/config.h"
#include "net/access.h"
#include "net/client_caps.h"
#include "net/connect.h"
#include "net/link_users.h"
#include "net/port_server.h"
#include "net/resolver.h"
#include "net/socket.h"
#include "runtime/env.h"
#include "runtime/log.h"
#include "runtime/shared_state.h"
#include "runtime/tasks.h"

namespace netrove {

// What the session controller needs of the network.
class LinkTraffic {
 public:
  virtual ~LinkTraffic() = default;
  // Average receive rate (bytes a second) over the ticks with traffic.
  virtual uint32_t AverageReceiveRate() = 0;
  virtual void ZeroTrafficCounters() = 0;
  virtual void EmptyFailedConnectCache() = 0;
  // The local interface address as text (the session's local address
  // before a link check finds the link's own).
  virtual std::string LocalInterfaceDescription() = 0;
};

struct NetOptions {
  NetTimings timings;
  // Names not in the hosts file.
  HostLookup host_lookup = SystemHostLookup;
  std::string hosts_path = HostsFilePath();
  // Caps on client tasks (the total from the descriptor limit when 0:
  // raise the limit before making the Network).
  int max_clients_per_address = kMaxClientsPerAddress;
  int max_clients_per_listener = kMaxClientsPerListener;
  int max_clients = 0;
};

class Network final : public LinkTraffic {
 public:
  Network(Env& env, Tasks& tasks, Log& log, ConfigStore& config, SharedState& shared,
          const NetOptions& options = NetOptions());
  // Shutdown, and the client tasks still running are stopped.
  ~Network() override;
  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

  // Starts the layer once: standard descriptors, "Calc CPS" (traffic
  // rates and refusal summaries), "Bad URL checker", the hosts file and
  // the local interface name. Later calls do nothing.
  void Start();
  // Stops the listener tasks and the layer's tasks and closes every
  // listener. Safe to call twice.
  void Shutdown();

  SocketLayer& sockets() { return sockets_; }
  Resolver& resolver() { return resolver_; }
  Connector& connector() { return connector_; }
  Access& access() { return access_; }
  LinkUsers& link_users() { return link_users_; }
  ClientCaps& caps() { return caps_; }
  PortServers& ports() { return ports_; }

  Env& env() { return env_; }
  Tasks& tasks() { return tasks_; }
  Log& log() { return log_; }
  ConfigStore& config() { return config_; }
  SharedState& shared() { return shared_; }

  // LinkTraffic.
  uint32_t AverageReceiveRate() override;
  void ZeroTrafficCounters() override;
  void EmptyFailedConnectCache() override;
  std::string LocalInterfaceDescription() override;

 private:
  Env& env_;
  Tasks& tasks_;
  Log& log_;
  ConfigStore& config_;
  SharedState& shared_;
  SocketLayer sockets_;
  Resolver resolver_;
  Connector connector_;
  Access access_;
  LinkUsers link_users_;
  ClientCaps caps_;
  PortServers ports_;  // after what its client tasks use: they end first

  std::mutex mu_;
  bool started_ = false;        // guarded by mu_
  TaskHandle calc_cps_;         // guarded by mu_
  TaskHandle bad_url_checker_;  // guarded by mu_
};

// The listening socket of a service under its own lock: the services'
// thread starts and stops it while any task may ask whether it runs.
// Closed when destroyed.
class ServiceListener {
 public:
  ServiceListener() = default;
  ~ServiceListener() { Close(); }
  ServiceListener(const ServiceListener&) = delete;
  ServiceListener& operator=(const ServiceListener&) = delete;

  // Unless the socket is open, runs `open` on it under the lock (with the
  // service's own checks and set-up). True when it is open afterwards.
  bool Open(const std::function<void(SocketVar&)>& open);
  // Closes the socket, then runs `after` (if any) under the same lock.
  void Close(const std::function<void()>& after = nullptr);
  bool IsOpen() const;
  // The port it listens on; 0 when closed.
  uint16_t Port() const;

 private:
  mutable std::mutex mu_;
  SocketVar socket_;  // guarded by mu_
};

// The common shape of a listening service guarded by address lists: not
// started when none of its list files can be read (an existing empty file
// starts it, and it then refuses everyone); not started again while its
// listener is open (reported as started). `list` gets the first readable
// file, marked entries dropped. The result is whether the listener is open
// afterwards.
bool StartListenerService(Network& network, SocketVar& listener, uint16_t port, bool hidden,
                          std::span<const std::string> list_files, AddressList& list,
                          TcpHandler handler);

// A connection for a gate's client to `target` ("host[:port]"), the name
// resolved once and that address connected to. A target on this machine at
// a port this program listens on would make the gate a loopback client of
// our own services: refused (closed socket) and reported as a denied
// client of `client`'s port.
SocketVar ConnectOutside(Network& network, SocketVar& client, const std::string& target,
                         uint16_t default_port);

}  // namespace netrove
