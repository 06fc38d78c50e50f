#include "driver/session.h"

#include "dialer/intent.h"
#include "runtime/signals.h"

namespace netrove {
namespace {

constexpr uint32_t kMaxCountedStep = 15;

}  // namespace

void SessionController::AdvanceOnline(uint32_t now) {
  if (now >= last_reading_ && now - last_reading_ <= kMaxCountedStep)
    online_seconds_ += now - last_reading_;
  else
    online_seconds_ += 1;
  last_reading_ = now;
}

std::string SessionController::RateText() const {
  return std::to_string(p_.traffic.AverageReceiveRate());
}

bool SessionController::SleepFlagExists() const {
  return p_.flags.Exists(p_.config.Current()->sleep_flag);
}

void SessionController::UpdateTick() {
  if (p_.config.Current()->auto_update) p_.update.StartAutoUpdate();
}

void SessionController::LogModemStatistics() {
  if (p_.config.Current()->modem_statistics.empty()) return;
  const std::string answer = p_.modem.ReadModemStatistics();
  if (answer.empty()) return;
  p_.io.Log("Start modem statistics");
  for (const std::string& line : ModemAnswerLines(answer)) p_.io.Log(line);
  p_.io.Log("Stop modem statistics");
}

SessionOutcome SessionController::RunProxyMode() {
  SessionIo& io = p_.io;
  p_.shared.link_mode = kLinkOnline;
  io.Log("PROXY READY");
  if (io.HasConsole()) io.Log("Press <ESC> to abort");
  io.SetTitle("Proxy mode");
  online_seconds_ = 0;
  last_reading_ = io.NowSeconds();
  int key = 0;
  do {
    UpdateTick();
    AdvanceOnline(io.NowSeconds());
    p_.shared.status_text.Set(FormatDuration(online_seconds_));
    io.StatusLine("              Time: " + p_.shared.status_text.Get() + " (CPS: " + RateText() +
                  ")");
    io.SleepMs(1000);
    key = io.KeyPressed() ? io.ReadKey() : 0;
  } while (KeyIntent(key) != Intent::kStop && p_.shared.control_request == kRequestNone &&
           !ReloadAsked());
  io.Log("Timed " + p_.shared.status_text.Get() + " (CPS: " + RateText() + ")");
  if (ReloadAsked() && KeyIntent(key) != Intent::kStop && p_.shared.control_request == kRequestNone)
    return SessionOutcome::kReload;
  p_.control.Abort();
  return SessionOutcome::kStop;
}

// --- The wait between dials and the sleep.

bool SessionController::ToggleSleep(bool sleeping) {
  std::string flag = p_.config.Current()->sleep_flag;
  if (flag.empty()) return false;
  if (sleeping) {
    (void)p_.flags.Delete(flag);
  } else {
    p_.flags.Create(flag);
  }
  return true;
}

bool SessionController::WaitCountdown(bool sleeping) {
  SessionIo& io = p_.io;
  SharedState& shared = p_.shared;
  std::shared_ptr<const ConfigRecord> cfg = p_.config.Current();
  const std::string label = sleeping ? "Sleep" : "Wait";
  int seconds = sleeping ? cfg->sleep_time : cfg->wait_time;
  shared.link_mode = sleeping ? kLinkIdle : kLinkWaiting;
  io.SetTitle(label + "ing");
  ClearControlRequestKeepingSignalStop(shared);
  shared.status_text.Set(label + "ing...");
  auto stop = [&] {
    if (sleeping) (void)p_.flags.Delete(cfg->sleep_flag);
    p_.control.Abort();
  };
  bool ended = false;
  while (seconds > 0 && !ended) {
    shared.status_text.Set(label + "ing...(" + std::to_string(seconds) + ")");
    io.StatusLine("ESC cancel, Space try, S sleep - " + shared.status_text.Get());
    for (int tick = 0; tick < 10 && !ended; ++tick) {
      // The pause comes before the look, so that the last look of a
      // countdown is its very end: a request made during the last pause is
      // seen here, not cleared unseen by the next countdown's start.
      io.SleepMs(100);
      if (ReloadAsked() && shared.control_request != kRequestStop) {
        io.EndStatusLine();
        return false;
      }
      // A request first: a stop ends the session, a redial ends the wait,
      // a sleep toggles the sleep flag; the others are dropped.
      const uint8_t request = shared.control_request;
      switch (RequestIntent(request)) {
        case Intent::kStop:
          stop();
          return false;
        case Intent::kSkip:
          ended = true;
          continue;
        case Intent::kSleep:
          if (ToggleSleep(sleeping)) {
            ended = true;
            continue;
          }
          ClearControlRequestKeepingSignalStop(shared);
          break;
        default:
          if (request != kRequestNone) ClearControlRequestKeepingSignalStop(shared);
      }
      if (io.KeyPressed()) {
        switch (KeyIntent(io.ReadKey())) {
          case Intent::kStop:
            stop();  // the next tick sees request 1
            break;
          case Intent::kSkip:
            ended = true;
            continue;
          case Intent::kLonger:
            ++seconds;
            p_.config.Update([](ConfigRecord& c) {
              if (c.wait_time < 65535) ++c.wait_time;
            });
            break;
          case Intent::kShorter:
            if (seconds > 0) --seconds;
            p_.config.Update([](ConfigRecord& c) {
              if (c.wait_time > 0) --c.wait_time;
            });
            break;
          case Intent::kSleep:
            if (ToggleSleep(sleeping)) {
              ended = true;
              continue;
            }
            break;
          default:
            break;
        }
      }
    }
    if (!ended) --seconds;
  }
  io.EndStatusLine();
  return true;
}

void SessionController::SleepWaitCountdown(bool dial_next) {
  bool sleeping = SleepFlagExists();
  for (;;) {
    if (!sleeping && dial_next) return;
    if (!WaitCountdown(sleeping)) return;
    sleeping = SleepFlagExists();
    if (!sleeping) return;
  }
}

// --- Failures and redials.

bool SessionController::CountFailure() {
  uint16_t max_retry = p_.config.Current()->max_retry;
  if (max_retry == 0) return true;
  p_.dialer.set_failed_dials(static_cast<uint16_t>(p_.dialer.failed_dials() + 1));
  if (p_.dialer.failed_dials() == max_retry) {
    p_.control.Abort();
    return false;
  }
  return true;
}

SessionController::Step SessionController::FailedTry() {
  p_.shared.local_address_text.Set(p_.shared.saved_local_address_text.Get());
  p_.dialer.AdvanceDialAttempt();
  return CountFailureAndWait();
}

SessionController::Step SessionController::CountFailureAndWait() {
  p_.dialer.set_dial_result(kDialAbandoned);
  p_.dialer.HangUp();
  if (p_.shared.control_request != kRequestStop && ReloadAsked()) return Step::kReload;
  if (!CountFailure()) return Step::kStop;
  if (p_.shared.control_request == kRequestStop) return Step::kStop;
  SleepWaitCountdown(false);
  // An ESC during this wait must not be lost to the next attempt, which
  // clears pending requests.
  if (p_.shared.control_request == kRequestStop) return Step::kStop;
  if (ReloadAsked()) return Step::kReload;
  return Step::kDial;
}

SessionOutcome SessionController::RunDialSession(bool start_asleep) {
  SharedState& shared = p_.shared;
  SleepWaitCountdown(true);
  std::string sleep_flag = p_.config.Current()->sleep_flag;
  if (start_asleep && !sleep_flag.empty()) {
    p_.flags.Create(sleep_flag);
    SleepWaitCountdown(false);
    if (shared.control_request == kRequestStop) return SessionOutcome::kStop;
  }
  if (shared.control_request != kRequestStop && ReloadAsked()) return SessionOutcome::kReload;
  shared.status_text.Set("Dialing...");
  if (p_.dialer.FindActiveConnection(true)) {
    p_.control.Abort();
    return SessionOutcome::kStop;
  }
  Step step = Step::kDial;
  for (;;) {
    switch (step) {
      case Step::kStop:
        return SessionOutcome::kStop;
      case Step::kReload:
        return SessionOutcome::kReload;
      case Step::kFailedTry:
        step = FailedTry();
        break;
      case Step::kDial:
        step = Dial();
        break;
    }
  }
}

SessionController::Step SessionController::Dial() {
  SharedState& shared = p_.shared;
  Dialer& dialer = p_.dialer;
  shared.link_mode = kLinkDialing;
  shared.status_text.Set("Dialing...");
  bool ended = dialer.DialEntry();
  shared.local_address_text.Set(p_.traffic.LocalInterfaceDescription());
  if (!ended) {
    dialer.set_dial_result(kDialAbandoned);
    return Step::kFailedTry;
  }
  if (shared.control_request != kRequestNone) return Step::kStop;
  if (ReloadAsked()) {
    dialer.HangUp();
    return Step::kReload;
  }
  int32_t code = dialer.dial_result();
  if (code == kDialConnected) {
    Step step = BringUp();
    if (step != Step::kDial) return step;
    while (OnlineTick()) {
    }
    return EndOfCall();
  }
  if (code != kDialLinkUp)
    p_.io.Log("Error " + std::to_string(code - 600) + ": " + dialer.ras().ErrorText(code));
  dialer.HangUp();
  if (code != 0 && p_.events.Fire(code - 600)) {
    dialer.HangUp();
    return Step::kReload;
  }
  return Step::kFailedTry;
}

// --- On-line.

SessionController::Step SessionController::BringUp() {
  SessionIo& io = p_.io;
  SharedState& shared = p_.shared;
  p_.dialer.set_dial_result(kDialLinkUp);
  p_.traffic.EmptyFailedConnectCache();
  shared.status_text.Set("Checking...");
  ConnectStatus status;
  (void)p_.dialer.LinkStatus(status);
  if (status.state == kStateDisconnected) {
    io.Log("Error: Disconnected from server.");
    return Step::kFailedTry;
  }
  io.SetTitle("Connected");
  p_.accounting.SelectTariff();
  p_.accounting.StartCall(io.NowSeconds());
  online_seconds_ = 0;
  saved_at_ = 0;
  last_reading_ = io.NowSeconds();

  if (!p_.checks.FirstTest()) {
    io.Log("Error: Bad connection.");
    if (p_.events.Fire(0)) {
      p_.dialer.HangUp();
      return Step::kReload;
    }
    return Step::kFailedTry;
  }
  if (p_.config.Current()->check_url.empty())
    p_.config.Update([](ConfigRecord& c) { c.check_url_time = 0; });

  std::shared_ptr<const ConfigRecord> cfg = p_.config.Current();
  p_.flags.Create(cfg->connect_flag);
  if (!cfg->execute.empty()) {
    io.Log("Start execute program list");
    p_.events.RunProgramList(cfg->execute);
  }
  if (!cfg->redial) io.HideConsole();
  p_.dialer.set_failed_dials(0);
  p_.events.ResetCounts();
  p_.checks.StartWatch();
  shared.link_mode = kLinkOnline;
  p_.accounting.SelectTariff();
  ClearControlRequestKeepingSignalStop(shared);
  UpdateTick();
  return Step::kDial;
}

bool SessionController::OnlineTick() {
  SessionIo& io = p_.io;
  SharedState& shared = p_.shared;
  Dialer& dialer = p_.dialer;
  std::shared_ptr<const ConfigRecord> cfg = p_.config.Current();
  UpdateTick();
  uint32_t now = io.NowSeconds();
  AdvanceOnline(now);
  shared.status_text.Set(FormatDuration(online_seconds_));
  std::string online = "On-Line " + shared.status_text.Get();
  io.StatusLine("ESC cancel, Space redial, S sleep, T test - " + online + " (CPS: " + RateText() +
                ")");
  io.SetTitle(online + " (" + cfg->entry_name + ")");
  io.SleepMs(1000);
  p_.accounting.Tick(now);
  // A crash or a kill while on-line loses at most a minute of the call.
  if (online_seconds_ >= saved_at_ + kSaveEverySeconds) {
    p_.accounting.Save();
    saved_at_ = online_seconds_;
  }
  ConnectStatus status;
  int rc = dialer.LinkStatus(status);
  dialer.set_dial_result(rc);

  auto hang_up_and_advance = [&] {
    dialer.HangUp();
    dialer.AdvanceDialAttempt();
  };
  auto sleep = [&] {
    if (cfg->sleep_flag.empty()) return;
    p_.flags.Create(cfg->sleep_flag);
    dialer.HangUp();
  };
  if (io.KeyPressed()) {
    switch (KeyIntent(io.ReadKey())) {
      case Intent::kStop:
        shared.control_request = kRequestStop;
        break;
      case Intent::kSkip:
        hang_up_and_advance();
        break;
      case Intent::kSleep:
        sleep();
        break;
      case Intent::kTest:
        shared.control_request = kRequestTestLink;
        break;
      default:
        break;
    }
  }
  Intent request = RequestIntent(shared.control_request);
  if (request == Intent::kTest) {
    if (p_.checks.Test()) {
      ClearControlRequestKeepingSignalStop(shared);
    } else {
      io.Log("Error: Bad connection.");
      shared.control_request = kRequestRedial;
      request = Intent::kSkip;
    }
  }
  if (request == Intent::kSkip) {
    hang_up_and_advance();
  } else if (request == Intent::kSleep) {
    if (!cfg->redial) {
      dialer.HangUp();
    } else {
      sleep();
    }
  }
  return shared.control_request != kRequestStop && !ReloadAsked() &&
         status.state == kStateConnected && rc == 0 && status.error == 0;
}

SessionController::Step SessionController::EndOfCall() {
  SessionIo& io = p_.io;
  SharedState& shared = p_.shared;
  std::shared_ptr<const ConfigRecord> cfg = p_.config.Current();
  p_.dialer.HangUp();
  p_.checks.StopWatch();
  shared.link_mode = kLinkIdle;
  p_.accounting.EndCall();
  io.EndStatusLine();
  io.Log("Timed " + shared.status_text.Get() + " (CPS: " + RateText() + ")");
  LogModemStatistics();
  p_.traffic.ZeroTrafficCounters();
  shared.local_address_text.Set(shared.saved_local_address_text.Get());
  io.SetTitle("Disconnected");
  io.Log("Disconnected");
  io.Log("");
  p_.accounting.Save();
  if (!cfg->execute_end.empty()) {
    io.Log("Start execute program list for break connection");
    p_.events.RunProgramList(cfg->execute_end);
  }
  if (shared.control_request != kRequestStop && ReloadAsked()) {
    p_.dialer.HangUp();
    return Step::kReload;
  }
  if (!cfg->redial) {
    io.Log("Redial not need, exiting.");
    shared.control_request = kRequestStop;
  }
  if (shared.control_request == kRequestStop) {
    p_.dialer.HangUp();
    io.SleepMs(500);
    return Step::kStop;
  }
  return CountFailureAndWait();
}

}  // namespace netrove
