// Dial attempts, hanging up, finding active connections, BREAK.
//
// A Dialer owns the state of the dialing side of one session: the dial
// record, the connection handle, the dial-active and dial-done flags,
// DialResult, DialAttempt, FailedDials and the keep-link flag.
//
// Thread safety: DialEntry and the session controller run on one thread;
// HangUp may also run on other tasks ("Halt service", the exit chain).
// Shared fields are atomics; the hang-up takes the handle by exchange, so
// only one caller hangs a connection up.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "config/config.h"
#include "dialer/flag_files.h"
#include "dialer/remote_access.h"
#include "dialer/session_io.h"
#include "runtime/shared_state.h"

namespace netrove {

// DialResult values besides the remote-access error codes.
inline constexpr int32_t kDialConnected = 0;
inline constexpr int32_t kDialAbandoned = 2;
inline constexpr int32_t kDialLinkUp = 2000;

class Dialer {
 public:
  Dialer(RemoteAccess& ras, SessionIo& io, ConfigStore& config, SharedState& shared,
         FlagFiles& flags)
      : ras_(ras), io_(io), config_(config), shared_(shared), flags_(flags) {}
  Dialer(const Dialer&) = delete;
  Dialer& operator=(const Dialer&) = delete;

  RemoteAccess& ras() { return ras_; }

  // Before a session: DialAttempt and FailedDials back to 0, the dial
  // record rebuilt from the configuration, the keep-link flag cleared (the
  // session is about to dial).
  void PrepareForSession();

  // One attempt with its countdown: true when it ended by itself
  // (dial_result() then 0 or an error code), false when cancelled or
  // timed out.
  bool DialEntry();
  // Ends the connection if one is held (ten tries, 500 ms apart).
  void HangUp();
  // True when a connection of the configured entry is up (this process's
  // or another's). With `report`, only when BREAKIFFOUND is on, and then
  // it logs "Found active connection as <name>." (the caller aborts).
  bool FindActiveConnection(bool report);
  // BREAK: hangs up the connections named `name` (or all for "*"),
  // printing one line per connection. Returns the number hung up.
  int BreakConnections(const std::string& name);
  // The exit procedure: hangs up unless the keep-link flag is set.
  void ExitHangUp();

  int32_t dial_result() const { return dial_result_; }
  void set_dial_result(int32_t value) { dial_result_ = value; }
  uint16_t dial_attempt() const { return dial_attempt_; }
  void AdvanceDialAttempt() { dial_attempt_ = static_cast<uint16_t>(dial_attempt_ + 1); }
  uint16_t failed_dials() const { return failed_dials_; }
  void set_failed_dials(uint16_t value) { failed_dials_ = value; }
  void set_keep_link(bool keep) { keep_link_ = keep; }
  // The dial record of the last attempt.
  DialRecord dial_record() const;
  // Status of the held connection; the call's result (non-zero when none).
  int LinkStatus(ConnectStatus& status);

 private:
  void DialTask();
  bool Countdown(int& seconds);  // false: abandon
  // A sleep asked for: the SLEEPFLAG made; false when none is configured.
  bool SleepRequest();

  RemoteAccess& ras_;
  SessionIo& io_;
  ConfigStore& config_;
  SharedState& shared_;
  FlagFiles& flags_;
  mutable std::mutex mu_;  // guards record_
  DialRecord record_;

  std::atomic<uint32_t> handle_{0};
  std::atomic<bool> dial_active_{false};
  std::atomic<bool> dial_done_{false};
  std::atomic<int32_t> dial_result_{0};
  std::atomic<uint16_t> dial_attempt_{0};
  std::atomic<uint16_t> failed_dials_{0};
  std::atomic<bool> keep_link_{true};
};

}  // namespace netrove
