// The FTP gate: how the FTP clients of the office reach FTP servers on the
// Internet by naming the server in the user name ("USER name@host" or
// "USER name@host:port", port 21 by default).
//
// A client listed in ftp.ip gets "220 Netrove FTP-Gate started." and sends
// its first command. Everything after the first "@" of that line is the
// server, the command keeps what comes before. The gate waits for the link
// (dial on demand), connects, reads the server's greeting (a "220 " line,
// after "220-" lines if any; the client sees none of it), sends the
// shortened command and relays the control connection. The server's answer
// to that command is the first server line the client sees. Data
// connections go directly between client and server.
//
// Refused without a reply (the connection is closed): a client not in
// ftp.ip, a first line without "@" or longer than 255 characters, a server
// that cannot be reached, or whose greeting is not a "220" reply within the
// bounds below. A target on this machine at a port where this program
// listens is refused too: the gate must not make a client a loopback
// client of our own services.
//
// While relaying, the server's lines that begin with "227" (the answer to
// PASV) are judged whole: one whose data address is not the address of the
// server's control connection becomes kFtpPassiveRefused, so that no client
// of the office is sent to another host. The client's bytes pass unchanged.
// The relay ends when either side closes, on urgent data, on a stop of the
// task, or when both sides are silent for the relay idle time.
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

inline constexpr char kFtpGateListFile[] = "ftp.ip";
inline constexpr char kFtpGateGreeting[] = "220 Netrove FTP-Gate started.";
// Sent to the client in place of a PASV answer that points elsewhere than
// the server.
inline constexpr char kFtpPassiveRefused[] = "425 Passive address refused by the gate.";

struct FtpGateOptions {
  // The longest first command; a longer one is refused.
  size_t max_first_line = 255;
  // How long the client may take for its first command.
  int64_t client_line_ms = 120000;
  // How long the server may take for its whole greeting, and the most
  // lines it may have.
  int64_t server_greeting_ms = 120000;
  size_t max_greeting_lines = 100;
};

class FtpGate {
 public:
  FtpGate(Network& net, ConfigStore& config, FtpGateOptions options = {});
  ~FtpGate();
  FtpGate(const FtpGate&) = delete;
  FtpGate& operator=(const FtpGate&) = delete;

  // Listens on the FTP keyword's port (the local interface only when
  // HIDEFTP) when that port is not 0 and ftp.ip can be read. True when the
  // listener is open after the call.
  bool Start();
  // Closes the listener; sessions in progress run on to their end.
  void Stop();
  bool Running() const;

  struct Core;  // ftp_gate.cc

 private:
  Network& net_;
  ConfigStore& config_;
  const std::shared_ptr<Core> core_;
  ServiceListener listener_;
};

}  // namespace netrove
