#include "driver/session.h"

#include "accounting/clock.h"
#include "config/config.h"
#include "runtime/console.h"
#include "runtime/shared_state.h"
#include "runtime/signals.h"

namespace netrove {
namespace {

constexpr uint32_t kMaxCountedStep = 15;
constexpr char kStatsMarker[] = "\x1a> ";

int UpperKey(int key) { return key >= 'a' && key <= 'z' ? key - 'a' + 'A' : key; }

}  // namespace

void SessionController::AdvanceOnline(uint32_t now) {
  if (now >= last_reading_ && now - last_reading_ <= kMaxCountedStep)
    online_seconds_ += now - last_reading_;
  else
    online_seconds_ += 1;
  last_reading_ = now;
}

std::string SessionController::RateText() const {
  return std::to_string(dialer_.hooks()->traffic_rate());
}

bool SessionController::SleepFlagExists() const {
  std::string flag = CurrentConfig()->sleep_flag;
  return !flag.empty() && dialer_.hooks()->flag_file_exists(flag);
}

SessionOutcome SessionController::RunProxyMode() {
  const DialerIo& io = dialer_.io();
  SharedState& shared = Shared();
  shared.link_mode = kLinkOnline;
  io.log("PROXY READY");
  if (ConsolePresent()) io.log("Press <ESC> to abort");
  io.set_title("Proxy mode");
  online_seconds_ = 0;
  saved_at_ = 0;
  last_reading_ = io.now_seconds();
  int key = 0;
  do {
    if (CurrentConfig()->auto_update) dialer_.hooks()->auto_update_tick();
    AdvanceOnline(io.now_seconds());
    shared.status_text.Set(FormatDuration(online_seconds_));
    io.status_line("              Time: " + shared.status_text.Get() + " (CPS: " + RateText() +
                   ")");
    io.sleep_ms(1000);
    key = io.key_pressed() ? io.read_key() : 0;
  } while (key != kKeyEsc && shared.control_request == kRequestNone);
  io.log("Timed " + shared.status_text.Get() + " (CPS: " + RateText() + ")");
  dialer_.AbortProgram();
  return SessionOutcome::kStop;
}

void SessionController::SleepWaitCountdown(bool dial_next) {
  const DialerIo& io = dialer_.io();
  SharedState& shared = Shared();
  bool sleeping = SleepFlagExists();
  for (;;) {
    std::shared_ptr<const ConfigRecord> cfg = CurrentConfig();
    std::shared_ptr<const SessionHooks> hooks = dialer_.hooks();
    std::string label;
    int seconds;
    if (sleeping) {
      label = "Sleep";
      seconds = cfg->sleep_time;
      shared.link_mode = kLinkIdle;
    } else {
      if (dial_next) return;
      label = "Wait";
      seconds = cfg->wait_time;
      shared.link_mode = kLinkWaiting;
    }
    io.set_title(label + "ing");
    ClearControlRequestKeepingSignalStop();
    shared.status_text.Set(label + "ing...");
    // S and request 3: toggle the sleep flag and end the countdown.
    auto toggle_sleep = [&] {
      if (cfg->sleep_flag.empty()) return false;
      if (sleeping)
        hooks->delete_flag_file(cfg->sleep_flag);
      else
        hooks->create_flag_file(cfg->sleep_flag);
      return true;
    };
    bool ended = false;
    while (seconds > 0 && !ended) {
      shared.status_text.Set(label + "ing...(" + std::to_string(seconds) + ")");
      io.status_line("ESC cancel, Space try, S sleep - " + shared.status_text.Get());
      for (int tick = 0; tick < 10 && !ended; ++tick) {
        uint8_t request = shared.control_request;
        if (request == kRequestStop) {
          if (sleeping) hooks->delete_flag_file(cfg->sleep_flag);
          dialer_.AbortProgram();
          return;
        }
        if (request == kRequestRedial) {
          ended = true;
          break;
        }
        if (request == kRequestSleep) {
          if (toggle_sleep()) {
            ended = true;
            break;
          }
          ClearControlRequestKeepingSignalStop();
        } else if (request != kRequestNone) {
          ClearControlRequestKeepingSignalStop();
        }
        if (io.key_pressed()) {
          int key = UpperKey(io.read_key());
          if (key == kKeyEsc) {
            if (sleeping) hooks->delete_flag_file(cfg->sleep_flag);
            dialer_.AbortProgram();  // the next tick sees request 1
          } else if (key == ' ') {
            ended = true;
            break;
          } else if (key == '+') {
            ++seconds;
            UpdateConfig([](ConfigRecord& c) {
              if (c.wait_time < 65535) ++c.wait_time;
            });
          } else if (key == '-') {
            if (seconds > 0) --seconds;
            UpdateConfig([](ConfigRecord& c) {
              if (c.wait_time > 0) --c.wait_time;
            });
          } else if (key == 'S') {
            if (toggle_sleep()) {
              ended = true;
              break;
            }
          }
        }
        io.sleep_ms(100);
      }
      if (!ended) --seconds;
    }
    io.end_status_line();
    sleeping = SleepFlagExists();
    if (!sleeping) return;
  }
}

bool SessionController::CountFailure() {
  uint16_t max_retry = CurrentConfig()->max_retry;
  if (max_retry == 0) return true;
  dialer_.set_failed_dials(static_cast<uint16_t>(dialer_.failed_dials() + 1));
  if (dialer_.failed_dials() == max_retry) {
    dialer_.AbortProgram();
    return false;
  }
  return true;
}

SessionController::Step SessionController::FailedTry() {
  SharedState& shared = Shared();
  shared.local_address_text.Set(shared.saved_local_address_text.Get());
  dialer_.AdvanceDialAttempt();
  return CountFailureAndWait();
}

SessionController::Step SessionController::CountFailureAndWait() {
  SharedState& shared = Shared();
  dialer_.set_dial_result(kDialAbandoned);
  dialer_.HangUp();
  if (!CountFailure()) return Step::kStop;
  if (shared.control_request == kRequestStop) return Step::kStop;
  SleepWaitCountdown(false);
  // An ESC during this wait must not be lost to the next attempt, which
  // clears pending requests.
  if (shared.control_request == kRequestStop) return Step::kStop;
  return Step::kDial;
}

SessionOutcome SessionController::RunDialSession(bool start_asleep) {
  const DialerIo& io = dialer_.io();
  SharedState& shared = Shared();
  SleepWaitCountdown(true);
  std::string sleep_flag = CurrentConfig()->sleep_flag;
  if (start_asleep && !sleep_flag.empty()) {
    dialer_.hooks()->create_flag_file(sleep_flag);
    SleepWaitCountdown(false);
    if (shared.control_request == kRequestStop) return SessionOutcome::kStop;
  }
  shared.status_text.Set("Dialing...");
  if (dialer_.FindActiveConnection(true)) return SessionOutcome::kStop;

  Step step = Step::kDial;
  for (;;) {
    if (step == Step::kStop) return SessionOutcome::kStop;
    if (step == Step::kReload) return SessionOutcome::kReload;
    if (step == Step::kFailedTry) {
      step = FailedTry();
      continue;
    }
    // Dial.
    shared.link_mode = kLinkDialing;
    shared.status_text.Set("Dialing...");
    if (!dialer_.DialEntry()) {
      dialer_.set_dial_result(kDialAbandoned);
      step = Step::kFailedTry;
      continue;
    }
    if (shared.control_request != kRequestNone) return SessionOutcome::kStop;
    int32_t code = dialer_.dial_result();
    if (code == kDialConnected) {
      step = Connected();
      continue;
    }
    // Dial error.
    if (code != kDialLinkUp) {
      std::string text = io.ras->ErrorText(code);
      io.log("Error " + std::to_string(code - 600) + ": " + text);
    }
    dialer_.HangUp();
    if (code != 0 && dialer_.hooks()->fire_event(code - 600)) {
      dialer_.HangUp();
      return SessionOutcome::kReload;
    }
    step = Step::kFailedTry;
  }
}

SessionController::Step SessionController::Connected() {
  const DialerIo& io = dialer_.io();
  SharedState& shared = Shared();
  std::shared_ptr<const SessionHooks> hooks = dialer_.hooks();
  dialer_.set_dial_result(kDialLinkUp);
  hooks->empty_failed_connect_cache();
  shared.status_text.Set("Checking...");
  ConnectStatus status;
  dialer_.LinkStatus(status);
  if (status.state == kStateDisconnected) {
    io.log("Error: Disconnected from server.");
    return Step::kFailedTry;
  }
  io.set_title("Connected");
  hooks->select_tariff();
  hooks->start_accounting(io.now_seconds());
  online_seconds_ = 0;
  saved_at_ = 0;
  last_reading_ = io.now_seconds();

  if (!hooks->first_link_test()) {
    io.log("Error: Bad connection.");
    if (hooks->fire_event(0)) {
      dialer_.HangUp();
      return Step::kReload;
    }
    return Step::kFailedTry;
  }
  if (CurrentConfig()->check_url.empty())
    UpdateConfig([](ConfigRecord& c) { c.check_url_time = 0; });

  std::shared_ptr<const ConfigRecord> cfg = CurrentConfig();
  if (!cfg->connect_flag.empty()) hooks->create_flag_file(cfg->connect_flag);
  if (!cfg->execute.empty()) {
    io.log("Start execute program list");
    hooks->run_program_list(cfg->execute);
  }
  if (!cfg->redial) io.hide_console();
  dialer_.set_failed_dials(0);
  hooks->reset_event_counts();
  int rc = dialer_.LinkStatus(status);
  hooks->start_link_watch();
  shared.link_mode = kLinkOnline;
  hooks->select_tariff();
  ClearControlRequestKeepingSignalStop();

  // On-line, once a second.
  auto hang_up_and_advance = [this] {
    dialer_.HangUp();
    dialer_.AdvanceDialAttempt();
  };
  do {
    cfg = CurrentConfig();
    if (cfg->auto_update) hooks->auto_update_tick();
    uint32_t now = io.now_seconds();
    AdvanceOnline(now);
    shared.status_text.Set(FormatDuration(online_seconds_));
    std::string online = "On-Line " + shared.status_text.Get();
    io.status_line("ESC cancel, Space redial, S sleep, T test - " + online +
                   " (CPS: " + RateText() + ")");
    io.set_title(online + " (" + cfg->entry_name + ")");
    io.sleep_ms(1000);
    hooks->account(now);
    // A crash or a kill while on-line loses at most a minute of the call.
    if (online_seconds_ >= saved_at_ + kSaveEverySeconds) {
      hooks->save_statistics();
      saved_at_ = online_seconds_;
    }
    rc = dialer_.LinkStatus(status);
    dialer_.set_dial_result(rc);

    if (io.key_pressed()) {
      int key = UpperKey(io.read_key());
      if (key == kKeyEsc) {
        shared.control_request = kRequestStop;
      } else if (key == ' ') {
        hang_up_and_advance();
      } else if (key == 'S') {
        if (!cfg->sleep_flag.empty()) {
          hooks->create_flag_file(cfg->sleep_flag);
          dialer_.HangUp();
        }
      } else if (key == 'T') {
        shared.control_request = kRequestTestLink;
      }
    }
    uint8_t request = shared.control_request;
    if (request == kRequestTestLink) {
      if (hooks->link_test()) {
        ClearControlRequestKeepingSignalStop();
      } else {
        io.log("Error: Bad connection.");
        shared.control_request = request = kRequestRedial;
      }
    }
    if (request == kRequestRedial) {
      hang_up_and_advance();
    } else if (request == kRequestSleep) {
      if (!cfg->redial) {
        dialer_.HangUp();
      } else if (!cfg->sleep_flag.empty()) {
        hooks->create_flag_file(cfg->sleep_flag);
        dialer_.HangUp();
      }
    }
  } while (shared.control_request != kRequestStop && status.state == kStateConnected && rc == 0 &&
           status.error == 0);
  return EndOfCall();
}

SessionController::Step SessionController::EndOfCall() {
  const DialerIo& io = dialer_.io();
  SharedState& shared = Shared();
  std::shared_ptr<const SessionHooks> hooks = dialer_.hooks();
  std::shared_ptr<const ConfigRecord> cfg = CurrentConfig();
  dialer_.HangUp();
  hooks->stop_link_watch();
  shared.link_mode = kLinkIdle;
  hooks->end_accounting();
  io.end_status_line();
  io.log("Timed " + shared.status_text.Get() + " (CPS: " + RateText() + ")");

  if (!cfg->modem_statistics.empty()) {
    std::string text = hooks->read_modem_statistics(cfg->modem_statistics);
    if (!text.empty()) {
      io.log("Start modem statistics");
      size_t pos = 0;
      while (pos < text.size()) {
        size_t cr = text.find('\r', pos);
        if (cr == std::string::npos) cr = text.size();
        std::string line = text.substr(pos, cr - pos);
        if (!line.empty() && line.front() == '\n') line.erase(0, 1);
        io.log(kStatsMarker + line);
        pos = cr + 1;
      }
      io.log("Stop modem statistics");
    }
  }

  hooks->zero_traffic_counters();
  shared.local_address_text.Set(shared.saved_local_address_text.Get());
  io.set_title("Disconnected");
  io.log("Disconnected");
  io.log("");
  hooks->save_statistics();
  if (!cfg->execute_end.empty()) {
    io.log("Start execute program list for break connection");
    hooks->run_program_list(cfg->execute_end);
  }
  if (!cfg->redial) {
    io.log("Redial not need, exiting.");
    shared.control_request = kRequestStop;
  }
  if (shared.control_request == kRequestStop) {
    dialer_.HangUp();
    io.sleep_ms(500);
    return Step::kStop;
  }
  return CountFailureAndWait();
}

}  // namespace netrove
