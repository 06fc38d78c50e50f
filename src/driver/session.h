// The session controller: proxy mode and the dial session (dial, wait,
// check, stay on-line, end the call, redial or stop).
//
// It runs on the front-end's thread. Other tasks reach it only through
// ControlRequest and the flag files. Everything outside the program's
// shared state goes through the Dialer's I/O and hooks, so tests run it
// against a scripted remote-access layer and a fake clock.
#pragma once

#include <cstdint>
#include <string>

#include "dialer/dial.h"
#include "driver/forms.h"

namespace netrove {

class SessionController {
 public:
  explicit SessionController(Dialer& dialer) : dialer_(dialer) {}

  // Services without dialing, until ESC or any request.
  SessionOutcome RunProxyMode();
  // The dial session; kReload when an event rule asks for a reload.
  SessionOutcome RunDialSession(bool start_asleep);
  // The pause between dials (and the sleep while the sleep flag exists);
  // with `dial_next` it only sleeps while the flag exists.
  void SleepWaitCountdown(bool dial_next);

  uint32_t online_seconds() const { return online_seconds_; }

 private:
  enum class Step { kDial, kFailedTry, kStop, kReload };
  Step Connected();
  Step FailedTry();
  // Counts a failed try or a dropped call against MAXRETRY, then waits.
  Step CountFailureAndWait();
  Step EndOfCall();
  // Counts a failure against MAXRETRY; false when the session must stop.
  bool CountFailure();
  // One on-line second: the clock reading is counted (a jump counts 1).
  void AdvanceOnline(uint32_t now);
  std::string RateText() const;
  bool SleepFlagExists() const;

  Dialer& dialer_;
  static constexpr uint32_t kSaveEverySeconds = 60;
  uint32_t online_seconds_ = 0;
  uint32_t saved_at_ = 0;  // online_seconds_ at the last save of the statistics
  uint32_t last_reading_ = 0;
};

}  // namespace netrove
