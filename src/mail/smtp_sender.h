// The SMTP sender: the task "SMTP server" that passes the outgoing queue
// ("MailBox/<n>.smtp", written by the SMTP server) to the provider's SMTP
// server named by the SMTP keyword ("host[:port]", port 25 by default)
// while the link is on-line.
//
// A pass connects only when there is something to send, says HELO, and for
// each queue file in number order offers RSET, MAIL FROM, one RCPT TO per
// recipient, DATA, the stored lines and ".". A file leaves the queue only
// when the provider has answered the final "." with 250, or when it can
// never be sent: a file that cannot be parsed, and one whose every
// recipient was refused for good (5xx), is renamed "<n>.smtp.bad" and
// logged, never deleted. A message some recipients refused goes to the
// others; the refusals are logged, and recipients refused for the moment
// (4xx) stay queued in a new file of their own. A file of size 0 is one
// the SMTP server is still storing and is left alone.
//
// Failed passes slow the task down: each waits the failure wait plus an
// extra wait that grows by a step per failure, up to a cap, and falls back
// to 0 after a good pass. No pass starts, and a pass sends no further file,
// while the SMTP server is storing a message (ActiveSmtpDeliveries), so a
// queue file is never read half-written.
//
// Thread safety: Start, Stop and Running from any thread; SendQueue runs
// one pass at a time. The store must outlive the sender.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "config/config.h"
#include "mail/mail_store.h"
#include "mail/queue_file.h"
#include "net/network.h"
#include "runtime/log.h"
#include "runtime/tasks.h"

namespace netrove {

inline constexpr char kSmtpSenderTaskName[] = "SMTP server";
inline constexpr uint16_t kProviderSmtpPort = 25;
// The domain of our HELO (a reserved name: it claims no real host).
inline constexpr char kSmtpHeloDomain[] = "netrove-gateway.invalid";

// Every wait in milliseconds, so that tests can shorten them.
struct SmtpSenderOptions {
  int64_t offline_poll_ms = 14000;  // between looks at the link while off-line
  int64_t pass_gap_ms = 5000;       // between passes while on-line
  int64_t failure_wait_ms = 57000;  // after a failed pass, plus the extra wait
  int64_t extra_step_ms = 10000;    // the extra wait grows by this per failure
  int64_t extra_cap_ms = 1800000;   // and never beyond this
  int64_t reply_ms = 120000;        // the longest wait for one reply
  // A bigger queue file is not read: it is moved aside as unsendable.
  size_t max_file_bytes = kMaxQueueFileBytes;
};

// The extra wait after a pass: 0 after a good one, else `current_ms` plus
// the step, at most the cap.
int64_t NextExtraWait(int64_t current_ms, bool pass_ok, const SmtpSenderOptions& options);

class SmtpSender {
 public:
  SmtpSender(Network& net, Log& log, ConfigStore& config, std::shared_ptr<MailStore> store,
             SmtpSenderOptions options = SmtpSenderOptions());
  // Stop.
  ~SmtpSender();
  SmtpSender(const SmtpSender&) = delete;
  SmtpSender& operator=(const SmtpSender&) = delete;

  // Starts the task; nothing when it runs already.
  void Start();
  // Stops the task and waits for its end (a pass in progress ends at its
  // next wait).
  void Stop();
  bool Running() const;

  // One pass over the queue. True when there was nothing to send, when the
  // SMTP server began storing mail before anything was sent, or when at
  // least one file left the queue (sent, or moved aside as unsendable).
  bool SendQueue();

 private:
  struct Pass;  // smtp_sender.cc
  uint32_t QueueSender();

  Network& net_;
  Log& log_;
  ConfigStore& config_;
  const std::shared_ptr<MailStore> store_;
  const SmtpSenderOptions options_;
  std::mutex pass_mu_;  // one pass at a time
  mutable std::mutex mu_;
  TaskHandle task_;  // guarded by mu_
};

}  // namespace netrove
