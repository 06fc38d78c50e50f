// The session controller: proxy mode and the dial session (dial, wait,
// check, stay on-line, end the call, redial or stop).
//
// It runs on the front-end's thread. Other tasks reach it only through
// ControlRequest and the flag files. Everything it touches outside the
// program's shared state comes through the narrow interfaces of
// SessionParts, so tests run it against a scripted remote-access layer, a
// simulated clock and recording fakes.
#pragma once

#include <cstdint>
#include <string>

#include "accounting/accounting.h"
#include "checks/link_checks.h"
#include "dialer/dial.h"
#include "dialer/events.h"
#include "dialer/modem_statistics.h"
#include "dialer/session_control.h"
#include "net/network.h"
#include "update/auto_update.h"

namespace netrove {

struct SessionParts {
  SessionIo& io;
  Dialer& dialer;
  ConfigStore& config;
  SharedState& shared;
  FlagFiles& flags;
  CallAccounting& accounting;
  LinkChecks& checks;
  EventRules& events;
  LinkTraffic& traffic;
  SessionControl& control;
  ModemStatisticsSource& modem;
  UpdateStarter& update;
};

enum class SessionOutcome { kStop, kReload };

class SessionController {
 public:
  explicit SessionController(SessionParts parts) : p_(parts) {}

  // Services without dialing, until ESC or any request; kReload for a
  // reload request.
  SessionOutcome RunProxyMode();
  // The dial session; kReload when an event rule or a reload request asks
  // for a reload (the call, if any, ended first).
  SessionOutcome RunDialSession(bool start_asleep);
  // The pause between dials (and the sleep while the sleep flag exists);
  // with `dial_next` it only sleeps while the flag exists. A reload
  // request ends it.
  void SleepWaitCountdown(bool dial_next);

  uint32_t online_seconds() const { return online_seconds_; }

 private:
  enum class Step { kDial, kFailedTry, kStop, kReload };
  // One dial attempt and what follows it.
  Step Dial();
  Step FailedTry();
  // Counts a failed try or a dropped call against MAXRETRY, then waits.
  Step CountFailureAndWait();
  // Counts a failure against MAXRETRY; false when the session must stop.
  bool CountFailure();

  // A fresh link: tested, announced, the connect program list run.
  // kDial means "on-line now" (the loop follows); any other step ends the
  // call before it began.
  Step BringUp();
  // One second on-line; false when the call has ended.
  bool OnlineTick();
  Step EndOfCall();
  // The modem's answer to MODEMSTATISTICS, logged when there is one.
  void LogModemStatistics();
  // The automatic update's tick, when AUTOUPDATE is on.
  void UpdateTick();

  // One countdown of the wait (or the sleep); false when it must not go
  // on (a stop, a reload).
  bool WaitCountdown(bool sleeping);
  // S or request 3 in a countdown: toggles the sleep flag; false when
  // there is no SLEEPFLAG.
  bool ToggleSleep(bool sleeping);

  // One on-line second: the clock reading is counted (a jump counts 1).
  void AdvanceOnline(uint32_t now);
  std::string RateText() const;
  bool SleepFlagExists() const;
  // A reload asked for from outside (SIGHUP); the entry clears it when it
  // reads the configuration again.
  bool ReloadAsked() const { return p_.shared.reload_requested.load(); }

  SessionParts p_;
  uint32_t online_seconds_ = 0;
  uint32_t saved_at_ = 0;  // online_seconds_ at the last save of the statistics
  uint32_t last_reading_ = 0;
  static constexpr uint32_t kSaveEverySeconds = 60;
};

}  // namespace netrove
