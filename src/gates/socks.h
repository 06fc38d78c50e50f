// The SOCKS service (SOCKS4 keyword): LAN clients open TCP connections to
// the Internet through the gateway with the version 4 request layout.
//
// The first byte selects the address list: 4 admits by socks4.ip, 5 by
// socks5.ip; the rest is read as a version 4 request either way (no method
// negotiation, no authentication, no host names). A client that neither
// list admits, a short or malformed request, or a USERID longer than
// kMaxSocksUserId bytes closes the connection without a reply.
//
// CONNECT waits for the link (dial on demand), connects through the
// network's connector (a refusing address:port fails at once for a while
// after) and answers 0, 90, port, address, then relays both ways; a failure
// is answered 0, 91. BIND opens a port on every interface and answers 90
// with it (address 0); the task "Map socks" relays each connection arriving
// there, one after the other, to the request's address and port. A BIND
// port without a connection for `bind_idle_ms` is closed; a client address
// holds at most `max_binds_per_client` of them (more get 91).
//
// A destination on this machine at a port this program listens on (the
// service itself, the other services, an open BIND port) gets 91: the
// service must not make its clients loopback clients of our own services.
//
// Thread safety: Start/Stop from the services' thread. Client tasks may
// outlive Stop and the service object; Stop ends every "Map socks" task.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "config/config.h"
#include "net/network.h"
#include "runtime/log.h"

namespace netrove {

inline constexpr char kSocks4ListFile[] = "socks4.ip";
inline constexpr char kSocks5ListFile[] = "socks5.ip";
inline constexpr char kMapSocksTask[] = "Map socks";
inline constexpr size_t kMaxSocksUserId = 255;  // bytes before the NUL
inline constexpr uint8_t kSocksGranted = 90;
inline constexpr uint8_t kSocksRejected = 91;
inline constexpr uint8_t kSocksConnect = 1;
inline constexpr uint8_t kSocksBind = 2;

// A request as read from the client. Port in host order, address in
// network order (as sent).
struct SocksRequest {
  uint8_t version = 0;
  uint8_t command = 0;
  uint16_t port = 0;
  uint32_t address = 0;
};

// What the bytes received so far make of a request.
struct SocksRead {
  enum State { kMore, kInvalid, kComplete } state = kMore;
  // kMore: bytes still needed at least (the rest may be a NUL away);
  // kComplete: the request's length in bytes.
  size_t count = 0;
  SocksRequest request;
};

// Reads a request from the start of `bytes`; never looks past them nor past
// the request's NUL.
SocksRead ReadSocksRequest(std::span<const uint8_t> bytes);

struct SocksOptions {
  // How long a BIND port waits for a connection before it is closed.
  int64_t bind_idle_ms = 120000;
  int max_binds_per_client = 4;
};

class SocksService {
 public:
  SocksService(Network& net, Log& log, ConfigStore& config, SocksOptions options = SocksOptions());
  ~SocksService();
  SocksService(const SocksService&) = delete;
  SocksService& operator=(const SocksService&) = delete;

  // StartSocks: loads both lists (marked entries dropped) and listens on the
  // SOCKS4 port, on the local interface only when HIDESOCKS4. Not started
  // when neither list can be read; not started again while running. True
  // when the listener is open after the call.
  bool Start();
  // StopSocks: closes the listener and ends every BIND port.
  void Stop();
  bool Running() const;
  // BIND ports open now (for tests and diagnostics).
  int OpenBinds() const;

  struct Core;  // socks.cc

 private:
  Network& net_;
  ConfigStore& config_;
  const std::shared_ptr<Core> core_;
  ServiceListener listener_;
};

}  // namespace netrove
