// Client admission by address lists, the denial log "access.ip.error.log"
// with its "WARNING! " line, and the special lists "dialfor.ip" (clients
// that may start a dial) and "local.hst" (host names the proxy serves).
//
// Relative file names resolve against the working directory.
// Thread safety: all members may be called from any task; writers of the
// denial log are serialised.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "net/address_list.h"
#include "net/socket.h"
#include "runtime/env.h"
#include "runtime/log.h"
#include "runtime/rate_limit.h"

namespace netrove {

inline constexpr char kDenialLogName[] = "access.ip.error.log";
inline constexpr char kDialForListName[] = "dialfor.ip";
inline constexpr char kLocalHostsListName[] = "local.hst";

class Access {
 public:
  // Files and the clock (time windows, the rate of refusal reports) come
  // from `env`; the warnings go to `log`.
  Access(Env& env, Log& log) : env_(env), log_(log) {}
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;

  // True when some entry of `list` (reloaded lazily) matches the client now.
  // A closed or gone client is closed and refused.
  bool ClientAllowed(SocketVar& client, AddressList& list);
  // ClientAllowed; a refused client still open gets the warning and is closed.
  bool CheckClientOrDeny(SocketVar& client, AddressList& list);
  // For a datagram from `client` reaching the UDP socket `udp_fd`; a refused
  // client gets the warning.
  bool ClientAllowedUdp(int udp_fd, const sockaddr_in& client, AddressList& list);

  // Appends "<address> #<port>" to the denial log and logs
  // "WARNING! <address> Access denied to port <port>". Rate-limited per
  // address (a few lines a second); what goes beyond is counted and
  // reported once a minute, in the log and the denial log, as "… N further
  // attempts from <address>".
  void WarnDeniedClient(const std::string& dotted_address, uint16_t local_port);
  // The same for the peer of a connected client and the port it reached.
  void WarnDeniedClient(const SocketVar& client);
  // Logs "WARNING! <address> Too many connections to port <port>" for a
  // client refused because a cap on clients was reached; rate-limited as
  // above.
  void WarnOverloadedClient(const std::string& dotted_address, uint16_t local_port);
  // Logs "WARNING! <address> UDP datagram to port <port> dropped" for a
  // datagram (or a relay) given up; rate-limited as above.
  void WarnDroppedDatagram(const std::string& dotted_address, uint16_t local_port);
  // Writes the summaries that are due (all of them with `all`). Called by
  // the network's periodic task and when the services stop.
  void FlushRefusalSummaries(bool all = false);

  // True without a client (nullptr); otherwise when dialfor.ip admits it.
  bool IsDialForClient(SocketVar* client);
  // True when local.hst lists exactly `name`.
  bool IsLocalHostName(const std::string& name);

  Env& env() const { return env_; }
  Log& log() const { return log_; }

 private:
  bool AnyEntryMatches(const AddressList& list, const std::string& client_dotted, uint16_t port);
  void AppendDenial(const std::string& line);

  Env& env_;
  Log& log_;
  std::mutex denial_mu_;  // serialises the lines of the denial log
  RateLimiter refusals_;
  AddressList dial_for_;
  AddressList local_hosts_;
};

}  // namespace netrove
