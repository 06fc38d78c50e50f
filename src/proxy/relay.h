// The direct HTTP relay: a small HTTP/1.0 proxy on an ephemeral loopback
// port through which the front proxy reaches origin servers. It takes
// absolute-URI requests (http:// and ftp://) and CONNECT, sends each to
// the origin in origin form, keeps the origin connection for further
// requests to the same host, and relays Content-Length, chunked and
// close-delimited bodies.
//
// The port is reachable by every local process, so each request must carry
// the header line of SecretHeaderLine() (a secret made per relay); the
// relay strips it before forwarding and refuses a request without it.
//
// Thread safety: Start, Stop and the getters may be called from any task.
// Client tasks may outlive a Stop; what they use lives as long as they do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "net/network.h"
#include "proxy/replies.h"

namespace netrove {

inline constexpr std::string_view kRelaySecretHeader = "X-Netrove-Relay";
inline constexpr int64_t kRelayKeepAliveMs = 6000;

// Serves a GET of an ftp:// URL (up to its first space) on the client
// socket, which it may close.
using FtpOverHttpHandler = std::function<void(SocketVar& client, const std::string& url)>;

struct RelayOptions {
  // How long a client connection waits for its next request.
  int64_t keep_alive_wait_ms = kRelayKeepAliveMs;
  // How long one header block (a request's or a response's) may take.
  int64_t header_deadline_ms = 60000;
  // ftp:// GETs; while there is none they get the "Host connection error" page.
  FtpOverHttpHandler ftp;
  // Sees the size of each block of a request body as it goes to the origin.
  std::function<void(size_t)> request_body_block;
  DrainLimits drain;
};

class HttpRelay {
 public:
  explicit HttpRelay(Network& net, RelayOptions options = RelayOptions());
  ~HttpRelay();
  HttpRelay(const HttpRelay&) = delete;
  HttpRelay& operator=(const HttpRelay&) = delete;

  // Opens the loopback listener (once). False when it cannot be opened or
  // no secret could be made.
  bool Start();
  // Closes the listener; client connections in progress finish on their own.
  void Stop();
  // The listening port while started, else 0.
  uint16_t RelayPort() const;
  // "X-Netrove-Relay: <secret>", for the front proxy to add to each request.
  std::string SecretHeaderLine() const;

  struct Core;  // relay.cc

 private:
  Network& net_;
  const std::shared_ptr<Core> core_;
  mutable std::mutex mu_;
  SocketVar listener_;  // guarded by mu_
  uint16_t port_ = 0;   // guarded by mu_
};

}  // namespace netrove
