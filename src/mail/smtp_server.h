// The SMTP server on port 25: how the mail programs of the office send
// mail (RFC 5321 subset: HELO, MAIL, RCPT, DATA, RSET, NOOP, HELP, QUIT,
// EXPN and VRFY answered; EHLO is not known, clients fall back to HELO).
//
// Mail for a recipient that an ALIAS line of "servpop3.dat" names is
// stored at once in the local mailboxes; mail for any other recipient is
// written to the queue ("MailBox/<n>.smtp": the sender, the recipients,
// an empty line, the message; lines ended by CR), which the SMTP sender
// passes on to the provider while the link is on-line. Only clients that
// smtp.ip admits may name recipients outside the store; others may only
// reach the aliases. Every stored copy gets a "Received:" header in front.
//
// "250 Ok" after DATA means the message is stored: when a local delivery
// or the queue file fails the answer is "451" and no half-written file is
// left. A message beyond the size cap (SMTPMAXSIZE) is read to its end,
// dropped and answered "552"; the connection goes on. Command lines are
// cut at 4096 characters, a transaction takes at most 1000 recipients,
// and every wait is bounded: a command read by `command_ms`, a whole DATA
// by `data_ms`; the messages being received share a memory budget
// (`max_buffered_bytes`).
//
// Thread safety: Start/Stop from the services' thread, the sessions in
// client tasks of their own. Sessions may outlive Stop and the server
// object (they keep the store); the network and the log must outlive them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "config/config.h"
#include "mail/mail_store.h"
#include "net/network.h"
#include "runtime/log.h"

namespace netrove {

inline constexpr uint16_t kSmtpServerPort = 25;
inline constexpr char kSmtpListFile[] = "smtp.ip";
// The name the server gives itself in its HELO and QUIT replies.
inline constexpr char kSmtpServerHostName[] = "mailgate.netrove.invalid";
inline constexpr char kSmtpGreeting[] = "220 Netrove Simple Mail Transfer Service Ready";
inline constexpr char kSmtpOutsideWarning[] =
    "WARNING! smtp.ip admits addresses outside the local networks: the SMTP server relays for "
    "them through the provider";
inline constexpr size_t kSmtpMaxRecipients = 1000;

struct SmtpServerOptions {
  uint16_t port = kSmtpServerPort;
  // The largest message taken by DATA; 0: SMTPMAXSIZE megabytes.
  size_t max_message_bytes = 0;
  // How long a client may take to send a command line.
  int64_t command_ms = 300000;
  // How long a client may take to send a whole message.
  int64_t data_ms = 1200000;
  // The most message bytes all connections together hold in memory while
  // they receive; a message that would pass it is refused with "452" and
  // its connection closed.
  size_t max_buffered_bytes = size_t{256} << 20;
};

class SmtpServer {
 public:
  SmtpServer(Network& net, Log& log, ConfigStore& config, std::shared_ptr<MailStore> store,
             SmtpServerOptions options = SmtpServerOptions());
  ~SmtpServer();
  SmtpServer(const SmtpServer&) = delete;
  SmtpServer& operator=(const SmtpServer&) = delete;

  // While SMTP is set: loads smtp.ip (marked entries dropped; warns when it
  // admits addresses outside the local networks) and listens on the port,
  // on the local interface only when HIDESMTP. Not started when smtp.ip
  // cannot be read. True when the listener is open after the call (also
  // when it was already).
  bool Start();
  // Closes the listener; sessions in progress run on to their end.
  void Stop();
  bool Listening() const;

  // One whole session on an accepted connection: greeting, commands, until
  // QUIT, the close or a time-out. Closes `client`.
  void SmtpSession(SocketVar& client);

  struct Core;  // smtp_server.cc

 private:
  Network& net_;
  ConfigStore& config_;
  const std::shared_ptr<Core> core_;
  ServiceListener listener_;
};

}  // namespace netrove
