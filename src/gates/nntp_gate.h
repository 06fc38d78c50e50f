// The NNTP gate on port 119: how the news readers of the office reach a
// news server on the Internet.
//
// A client listed in nntp.ip gets "201 OK." and the same answer to every
// line it sends until it logs in with "AUTHINFO USER" (any case); those
// lines are kept, each cut at 255 characters, at most 100 lines before the
// login (one more closes the connection). CAPABILITIES, POST and IHAVE
// (any case) are answered kNntpLoginRequired instead and not kept: a
// reader takes that as "no capabilities" and logs in, and a replayed POST
// would leave the server waiting for an article. The login's user
// name may carry the server after its last "@" ("host" or "host:port",
// port 119 by default); without "@" the NNTP keyword's server is used. The
// gate then waits for the link (dial on demand), connects, reads the
// server's greeting, replays the kept lines reading each response (the
// client sees none of them), sends the login line without "@server" and
// relays the rest of the session unchanged. The link is held to the end.
//
// A response ends with its status line, or, for the codes whose reply has
// a body (LIST, ARTICLE, OVER, ...), with the body's "." line: the gate
// never waits for a silence. Every wait is bounded by the options.
//
// A target on this machine at a port where this program listens is
// refused: the gate must not make a client a loopback client of our own
// services.
//
// Thread safety: Start/Stop from the services' thread. Client tasks may
// outlive Stop and the gate object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "config/config.h"
#include "net/network.h"

namespace netrove {

inline constexpr uint16_t kNntpGatePort = 119;
inline constexpr char kNntpGateListFile[] = "nntp.ip";
inline constexpr char kNntpGateAnswer[] = "201 OK.";
inline constexpr char kNntpLoginRequired[] = "480 Authentication required";

struct NntpGateOptions {
  uint16_t port = kNntpGatePort;
  // The most lines kept before the login.
  size_t max_kept_lines = 100;
  // The longest client line kept before the login (the rest is dropped).
  size_t max_client_line = 255;
  // How long the client may take for each line before the login.
  int64_t client_line_ms = 120000;
  // How long the server may take for its greeting and for each response
  // (status line and body).
  int64_t server_reply_ms = 120000;
};

class NntpGate {
 public:
  NntpGate(Network& net, ConfigStore& config, NntpGateOptions options = {});
  ~NntpGate();
  NntpGate(const NntpGate&) = delete;
  NntpGate& operator=(const NntpGate&) = delete;

  // Listens on the port (the local interface only when HIDENNTP) when
  // nntp.ip can be read; started only while NNTP is set (the services' row
  // decides). True when the listener is open after the call.
  bool Start();
  // Closes the listener; sessions in progress run on to their end.
  void Stop();
  bool Running() const;

  struct Core;  // nntp_gate.cc

 private:
  Network& net_;
  ConfigStore& config_;
  const std::shared_ptr<Core> core_;
  ServiceListener listener_;
};

}  // namespace netrove
