// Dial attempts, hanging up, finding active connections, BREAK.
//
// A Dialer owns the state of the dialing side of one session: the dial
// record, the connection handle, the dial-active and dial-done flags,
// DialResult, DialAttempt, FailedDials and the keep-link flag. The
// process's dialer is TheDialer(); tests build their own with fake I/O.
//
// Thread safety: DialEntry and the session controller run on one thread;
// HangUp, AbortProgram and BreakStep may also run on other tasks ("Halt
// service", the exit chain). Shared fields are atomics; the hang-up takes
// the handle by exchange, so only one caller hangs a connection up.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "dialer/remote_access.h"
#include "dialer/session_hooks.h"
#include "runtime/tasks.h"

namespace netrove {

// DialResult values besides the remote-access error codes.
inline constexpr int32_t kDialConnected = 0;
inline constexpr int32_t kDialAbandoned = 2;
inline constexpr int32_t kDialLinkUp = 2000;

inline constexpr int kKeyEsc = 27;

// Everything a Dialer and the session controller touch outside the
// program's own state: the remote-access layer, the clock, sleeping, keys
// and the console. System() gives the real ones.
struct DialerIo {
  std::shared_ptr<RemoteAccess> ras;
  std::function<uint32_t()> now_seconds;
  std::function<void(int ms)> sleep_ms;
  std::function<bool()> key_pressed;
  std::function<int()> read_key;
  std::function<void(const std::string&)> log;
  std::function<void(const std::string&)> status_line;  // rewritten in place
  std::function<void()> end_status_line;
  std::function<void(const std::string&)> set_title;
  std::function<void(std::string_view)> write;  // plain output (BREAK)
  std::function<void()> hide_console;
  // Starts the blocking dial on the task "Dial proc".
  std::function<TaskHandle(std::function<void()>)> start_dial_task;

  static DialerIo System();
};

class Dialer {
 public:
  Dialer(DialerIo io, SessionHooks hooks = SessionHooks());
  Dialer(const Dialer&) = delete;
  Dialer& operator=(const Dialer&) = delete;

  const DialerIo& io() const { return io_; }
  std::shared_ptr<const SessionHooks> hooks() const;
  void SetHooks(SessionHooks hooks);

  // Configuration load: DialAttempt and FailedDials back to 0, the dial
  // record rebuilt from the current configuration, the keep-link flag
  // cleared (the session is about to dial).
  void PrepareForSession();

  // One attempt with its countdown: true when it ended by itself
  // (dial_result() then 0 or an error code), false when cancelled or
  // timed out.
  bool DialEntry();
  // Ends the connection if one is held (ten tries, 500 ms apart).
  void HangUp();
  // With `report`: only when BREAKIFFOUND is on; logs and aborts on a match.
  bool FindActiveConnection(bool report);
  // Logs "Aborted!", stops the services, ControlRequest := 1. Only the
  // first call of a session logs and stops; later ones only ask for the stop.
  void AbortProgram();
  // The "Halt service" break: hang up, stop request, abort.
  void BreakStep();
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
  uint32_t handle() const { return handle_; }
  void set_keep_link(bool keep) { keep_link_ = keep; }
  bool keep_link() const { return keep_link_; }
  // The dial record of the last attempt.
  DialRecord dial_record() const;
  // Status of the held connection; the call's result (non-zero when none).
  int LinkStatus(ConnectStatus& status);

 private:
  void DialTask();
  bool Countdown(int& seconds);  // false: abandon

  DialerIo io_;
  mutable std::mutex mu_;  // guards hooks_ and record_
  std::shared_ptr<const SessionHooks> hooks_;
  DialRecord record_;

  std::atomic<uint32_t> handle_{0};
  std::atomic<bool> dial_active_{false};
  std::atomic<bool> dial_done_{false};
  std::atomic<int32_t> dial_result_{0};
  std::atomic<uint16_t> dial_attempt_{0};
  std::atomic<uint16_t> failed_dials_{0};
  std::atomic<bool> keep_link_{true};
  std::atomic<bool> aborted_{false};
};

// The process's dialer (real I/O); its exit procedure is registered on
// first use.
Dialer& TheDialer();

// Shorthands on TheDialer() for the other parts of the program.
void AbortProgram();
void HangUp();
void BreakStep();

}  // namespace netrove
