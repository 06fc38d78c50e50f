// The POP3 gate on port 110: how the mail programs of the office reach
// both the provider's POP3 server and the local mailboxes.
//
// A client listed in pop3.ip gets "+OK POP3-GATE started." and must send
// USER first. "USER name@host[:port]" (the last "@" splits) reaches that
// host as "USER name"; a login without "@" reaches the POP3 keyword's
// host. Once the server has accepted USER the client gets "+OK Send
// password" and the two are relayed unchanged. A host that is this
// computer's name or "localhost" (any case) is relayed to the local POP3
// server on 127.0.0.1 while it runs, without the link; every other target
// waits for the link (dial on demand) and holds it to the end. A client not
// in pop3.ip, and every client while POP3 is empty or "localhost", is
// served by the local POP3 server on the same connection.
//
// A target on this machine at a port where this program listens (the gate
// itself, the SMTP server, the proxy, ...) is refused: the gate must not
// let a client reach our own services as a loopback client. The one way to
// the local server is the local relay, always to its own port.
//
// Refusals (no USER first, a USER line over the cap, a target that cannot
// be reached or never accepts USER) close the connection without a reply.
// Every wait is bounded: the client's USER line and each server reply by
// the options, the connect by the network's bound, the relay by its idle
// time.
//
// Thread safety: Start/Stop from the services' thread. Client tasks may
// outlive Stop and the gate object; the two callbacks must stay callable
// for as long as client tasks can run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "config/config.h"
#include "net/network.h"
#include "runtime/log.h"

namespace netrove {

inline constexpr uint16_t kPop3GatePort = 110;
inline constexpr char kPop3GateListFile[] = "pop3.ip";
inline constexpr char kPop3GateGreeting[] = "+OK POP3-GATE started.";
inline constexpr char kPop3GateSendPassword[] = "+OK Send password";

struct Pop3GateOptions {
  uint16_t port = kPop3GatePort;
  // The longest USER line taken; a longer one closes the connection.
  size_t max_user_line = 1024;
  // How long the client may take to send its USER line.
  int64_t user_line_ms = 60000;
  // How long the server may take for its greeting and for each reply.
  int64_t server_reply_ms = 60000;
  // The most replies read from the server until one accepts USER.
  int max_server_replies = 20;
};

// Runs the local POP3 server's session on an accepted connection.
using LocalPop3Session = std::function<void(SocketVar& client)>;
// The local POP3 server's loopback port, 0 while it does not run.
using LocalPop3Port = std::function<uint16_t()>;

class Pop3Gate {
 public:
  Pop3Gate(Network& net, Log& log, ConfigStore& config, LocalPop3Session local_session,
           LocalPop3Port local_port, Pop3GateOptions options = Pop3GateOptions());
  ~Pop3Gate();
  Pop3Gate(const Pop3Gate&) = delete;
  Pop3Gate& operator=(const Pop3Gate&) = delete;

  // Loads pop3.ip (marked entries dropped; a missing file admits nobody)
  // and listens on the port, on the local interface only when HIDEPOP3.
  // Started only while POP3 is set (the services' row decides). True when
  // the listener is open after the call (also when it was already).
  bool Start();
  // Closes the listener; sessions in progress run on to their end.
  void Stop();
  bool Running() const;

  struct Core;  // pop3_gate.cc

 private:
  Network& net_;
  ConfigStore& config_;
  const std::shared_ptr<Core> core_;
  ServiceListener listener_;
};

}  // namespace netrove
