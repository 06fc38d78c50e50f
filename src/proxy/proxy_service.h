// The front HTTP proxy on port 3128: what browsers of the office point at.
//
// Each client connection runs in its own task: the access check
// (proxy.ip), then requests one after another, each read, rewritten,
// checked (proxy users, url.bad, files.bad), logged and answered from the
// disk cache or fetched upstream, with 1 second for the client to send the
// next one. Requests leave the machine through the upstream proxy named by
// PROXY or, for "LOCALHOST", the computer's own name, the names of
// local.hst and whenever the upstream proxy cannot be reached, through the
// direct relay (relay.h), which the service starts beside itself.
//
// A request without "://" is addressed to the proxy as a web server: the
// host "mail" goes to the web mail handler, any other host gets the
// "Wrong host name" page.
//
// Thread safety: Start/Stop from the services' thread; the counters may be
// read from any task. Client tasks may outlive a Stop and the service
// object: what they use lives as long as they do.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "config/config.h"
#include "net/network.h"
#include "proxy/relay.h"
#include "runtime/console.h"
#include "runtime/log.h"

namespace netrove {

inline constexpr uint16_t kProxyPort = 3128;
inline constexpr char kProxyListFile[] = "proxy.ip";

// Serves a request addressed to the host "mail": the client socket and the
// whole request text (request line and header lines, each with CR LF, the
// empty line last).
using WebMailHandler = std::function<void(SocketVar& client, const std::string& request)>;

struct ProxyServiceOptions {
  uint16_t port = kProxyPort;
  // The pause before the 407 reply to a refused proxy user.
  int64_t auth_failure_delay_ms = 15000;
  // How long a client may take to start its next request.
  int64_t keep_alive_ms = 1000;
  // How long one header block (a client's request, an upstream's answer)
  // may take in all.
  int64_t header_deadline_ms = 120000;
  RelayOptions relay;
  // The host "mail"; while there is none it gets the "Wrong host name" page.
  WebMailHandler web_mail;
};

class ProxyService {
 public:
  ProxyService(Network& net, Log& log, Console& console, ConfigStore& config,
               ProxyServiceOptions options = ProxyServiceOptions());
  ~ProxyService();
  ProxyService(const ProxyService&) = delete;
  ProxyService& operator=(const ProxyService&) = delete;

  // Starts the listener, the relay, the cache tasks and the proxy log when
  // PROXY is set and proxy.ip can be read. True when the proxy runs after
  // the call (also when it ran already).
  bool StartProxyService();
  // Closes the listener and the relay's, stops the cache tasks and closes
  // the proxy log. Connections in progress finish on their own.
  void StopProxyService();
  bool Running() const;

  // Bytes received from upstream, and sent from cache entries, since the
  // last start.
  uint32_t ProxyNetBytes() const;
  uint32_t ProxyCacheBytes() const;
  // The direct relay's loopback port while running, else 0.
  uint16_t RelayPort() const;

  struct Core;  // proxy_service.cc

 private:
  Network& net_;
  ConfigStore& config_;
  const std::shared_ptr<Core> core_;
  ServiceListener listener_;
};

}  // namespace netrove
