// The POP3 fetcher: while the link is on-line it empties the provider's
// POP3 accounts (the SERVER lines of "servpop3.dat") into the local
// mailboxes. Each account is fetched by a task of its own ("Read user
// mail"): log in, list, and for each message RETR, store one copy per
// local user (the recipient found in the message's header, mapped through
// the aliases, plus the SERVER line's users) and only then DELE. A
// connection is closed with QUIT and opened anew once it has been used
// for `reconnect_after_ms`, so a broken link can lose the deletions of one
// connection at most; a message is never deleted before its local copies
// are on disk, so a break costs a duplicate, never a message.
//
// Everything from the network is bounded: each line (65530 characters),
// each reply and body by a deadline, a message by MAXLENPOP3MAIL (at most
// `max_message_bytes`; a larger one stays on the server with a warning)
// and a listing by `max_listing_lines`.
//
// Thread safety: every member may be called from any task. One pass runs
// at a time (a StartPass during a pass does nothing). The destructor stops
// every task the fetcher started and waits for them; the network, the log
// and the configuration must outlive the fetcher.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "mail/mail_store.h"
#include "net/network.h"
#include "runtime/log.h"
#include "runtime/tasks.h"

namespace netrove {

inline constexpr char kFetchSchedulerTask[] = "POP3 server";
inline constexpr char kReadMailTask[] = "Read mail task";
inline constexpr char kGetPop3MailTask[] = "Get POP3 mail";
inline constexpr char kReadUserMailTask[] = "Read user mail";

// The recipient a fetched message was addressed to, in upper case: the
// address in " FOR <...>" of its first header when that is a Received
// header, else the address of its To: line (the part in angle brackets,
// or the whole value); "" when neither names one.
std::string FindRecipient(std::string_view message);

struct Pop3FetcherOptions {
  // The scheduler: how often it looks for the on-line link, the length of
  // one step of POP3SERVERSLEEP (a minute), and the pause after the steps.
  int64_t online_poll_ms = 15000;
  int64_t sleep_step_ms = 60000;
  int64_t round_pause_ms = 5000;
  // A pass: the gap between two account starts, and how often it looks
  // whether its accounts have ended.
  int64_t account_gap_ms = 3500;
  int64_t pass_poll_ms = 5000;
  // An account: the age at which a connection is closed and opened anew,
  // the pause before the new one, the pause at the end of the run.
  int64_t reconnect_after_ms = 90000;
  int64_t reconnect_pause_ms = 5000;
  int64_t end_pause_ms = 2000;
  // The deadline of each reply and listing line, and of a whole message
  // (the end line of a RETR that never comes ends the account's run).
  int64_t reply_ms = 120000;
  int64_t message_ms = 30 * 60000;
  // The largest message taken whatever MAXLENPOP3MAIL says.
  size_t max_message_bytes = size_t{64} << 20;
  // A listing with more lines than this ends the account's run.
  size_t max_listing_lines = 65535;
};

class Pop3Fetcher {
 public:
  Pop3Fetcher(Network& net, Log& log, ConfigStore& config, std::shared_ptr<MailStore> store,
              Pop3FetcherOptions options = Pop3FetcherOptions());
  // Stops every task the fetcher started and waits for their ends.
  ~Pop3Fetcher();
  Pop3Fetcher(const Pop3Fetcher&) = delete;
  Pop3Fetcher& operator=(const Pop3Fetcher&) = delete;

  // Starts the task "POP3 server": it waits for the on-line link, starts a
  // pass ("Read mail task"), sleeps POP3SERVERSLEEP minutes and starts the
  // next pass while the link is still on-line. Does nothing while it runs.
  void StartScheduler();
  // Stops the scheduler; a pass in progress runs on.
  void StopScheduler();
  // Starts a pass as the task `task_name` (for instance "Get POP3 mail").
  void StartPass(const std::string& task_name);

  // One pass over every SERVER line on the calling task: one account task
  // each, then the wait for their ends. Returns at once while another pass
  // runs. Not from the destructor's thread.
  void RunPass();
  // The account of SERVER line `index` (from 1) on the calling task.
  void FetchAccount(size_t index);

 private:
  // Starts `routine` as a task of this fetcher unless it is stopping.
  bool StartOwnTask(const std::string& name, TaskRoutine routine);
  // The run of the account of a SERVER line; the caller has counted it in
  // ActiveMailFetches.
  void FetchCounted(const std::string& entry);
  uint32_t Scheduler();

  Network& net_;
  Log& log_;
  ConfigStore& config_;
  const std::shared_ptr<MailStore> store_;
  const Pop3FetcherOptions options_;

  std::mutex mu_;
  bool stopping_ = false;          // guarded by mu_
  TaskHandle scheduler_;           // guarded by mu_
  std::vector<TaskHandle> tasks_;  // guarded by mu_: passes and accounts
};

}  // namespace netrove
