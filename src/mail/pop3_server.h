// The local POP3 server: the mailboxes of the store (mail_store.h) for the
// logins of the USER lines of "servpop3.dat", on 127.0.0.1 only. The POP3
// gate hands it its local logins by calling Pop3Session on its own
// connections; the web mail connects to LocalPop3Port.
//
// Besides the POP3 subset (USER, PASS, STAT, LIST, RETR, TOP, DELE, NOOP,
// QUIT) a session knows MLIST (listing with the file time), BODY (the
// message without its header), MDELE (move to a folder) and MAILBOX
// (switch folder). DELE removes at once. Messages are streamed from their
// files line by line, whatever line ends the file uses, with CR LF.
//
// A wrong password is answered after a pause (20 s) that counts per client
// address: the pauses of one address follow one another, so parallel
// connections do not multiply its guesses, and other addresses are not
// slowed. A connection whose answer would wait more than `max_penalty_ms`
// is closed instead. The port server caps the connections per client
// address and per listener (client_caps.h).
//
// Thread safety: Start/Stop from the services' thread; Pop3Session and
// LocalPop3Port from any task. Sessions may outlive a Stop and the server
// object (they keep the store); the network and the log must outlive them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "config/config.h"
#include "mail/mail_store.h"
#include "net/network.h"
#include "runtime/log.h"

namespace netrove {

struct Pop3ServerOptions {
  int64_t wrong_password_delay_ms = 20000;
  // The longest an address's answer may queue behind its earlier pauses.
  int64_t max_penalty_ms = 8 * 20000;
};

class Pop3Server {
 public:
  // The store is kept alive as long as a session may use it.
  Pop3Server(Network& net, Log& log, ConfigStore& config, std::shared_ptr<MailStore> store,
             Pop3ServerOptions options = Pop3ServerOptions());
  ~Pop3Server();
  Pop3Server(const Pop3Server&) = delete;
  Pop3Server& operator=(const Pop3Server&) = delete;

  // Loads the accounts, makes "MailBox", logs "POP3-server started" and
  // listens on 127.0.0.1 at POP3SERVERPORT (0: a free port). True when it
  // listens after the call (also when it did already). The fetch
  // scheduler is not started here.
  bool Start();
  // Closes the listener; sessions in progress finish on their own.
  void Stop();
  // The port listened on, 0 while not running.
  uint16_t LocalPop3Port() const;

  // One whole session on an accepted connection: greeting, login,
  // commands, until QUIT, the close or the read time-out. Closes `client`.
  void Pop3Session(SocketVar& client);

  struct Core;  // pop3_server.cc

 private:
  Network& net_;
  ConfigStore& config_;
  const std::shared_ptr<Core> core_;
  ServiceListener listener_;
};

}  // namespace netrove
