#include "dialer/dial.h"

#include <utility>
#include <vector>

#include "dialer/intent.h"
#include "dialer/schedule.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr int kHangUpTries = 10;
constexpr uint16_t kMinDialTime = 10;

}  // namespace

DialRecord Dialer::dial_record() const {
  std::lock_guard<std::mutex> lock(mu_);
  return record_;
}

void Dialer::PrepareForSession() {
  std::shared_ptr<const ConfigRecord> cfg = config_.Current();
  DialRecord record;
  record.entry_name = cfg->entry_name;
  record.user_name = cfg->user;
  record.password = cfg->password;
  record.domain = cfg->domain;
  record.CutToFields();
  {
    std::lock_guard<std::mutex> lock(mu_);
    record_ = std::move(record);
  }
  dial_attempt_ = 0;
  failed_dials_ = 0;
  keep_link_ = false;
}

int Dialer::LinkStatus(ConnectStatus& status) {
  status = ConnectStatus{};
  return ras_.GetConnectStatus(handle_, status);
}

bool Dialer::DialEntry() {
  std::shared_ptr<const ConfigRecord> cfg = config_.Current();
  flags_.Create(cfg->dial_flag);

  // The number of this attempt.
  std::vector<std::string> numbers = NumberList(cfg->add_phone);
  if (dial_attempt_ + 1u > numbers.size()) dial_attempt_ = 0;
  std::string number = numbers[dial_attempt_];
  if (number.empty()) number = cfg->phone;
  bool entry_number = false;  // "Default": the backend dials the entry's own number
  if (number.empty()) {
    EntryProperties props;
    if (ras_.GetEntryProperties(cfg->entry_name, props) == 0 && !props.local_phone.empty()) {
      number = props.local_phone;
    } else {
      number = "Default";
      entry_number = true;
    }
  }
  dial_result_ = 0;
  ScheduledNumber scheduled = ApplySchedule(number, BreakDownLocal(io_.LocalSeconds()));
  if (!scheduled.allowed) dial_result_ = kErrorOutsideSchedule;
  number = scheduled.number;
  {
    std::lock_guard<std::mutex> lock(mu_);
    record_.phone_number =
        entry_number ? std::string() : (cfg->dial_prefix + number).substr(0, 128);
  }

  std::string label = "Connecting to " + cfg->entry_name;
  std::string bare = BareName(shared_.connection_arg.Get());
  if (bare != cfg->entry_name) label += "/" + bare;
  label += " (" + number + ")";
  io_.SetTitle(label);
  io_.Log(label);

  bool result = true;
  dial_done_ = false;
  TaskHandle task;
  if (dial_result_ == 0) task = io_.StartDialTask([this] { DialTask(); });
  io_.SleepMs(250);
  int seconds = config_.Current()->dial_time;
  if (shared_.control_request != kRequestNone) ClearControlRequestKeepingSignalStop(shared_);

  if (!Countdown(seconds)) {
    HangUp();
    result = false;
    dial_result_ = 0;
  } else if (dial_result_ == 0 && !dial_done_ && seconds <= 0) {
    result = false;  // timed out
  }

  if (task && Tasks::Running(task)) Tasks::Stop(task);
  if (!result) HangUp();
  io_.EndStatusLine();
  return result;
}

bool Dialer::SleepRequest() {
  std::string flag = config_.Current()->sleep_flag;
  if (flag.empty()) return false;
  flags_.Create(flag);
  return true;
}

bool Dialer::Countdown(int& seconds) {
  while (!dial_done_ && dial_result_ == 0) {
    std::string count = std::to_string(seconds);
    shared_.status_text.Set("Dialing... (" + count + ")");
    io_.StatusLine("ESC-cancel, Space-try, S-sleep - Connecting... (" + count + ") ");
    for (int tick = 0; tick < 10; ++tick) {
      if (dial_done_) break;
      // A request first: stop and redial abandon the attempt, a sleep
      // abandons it when there is a sleep flag; the others are dropped.
      const uint8_t request = shared_.control_request;
      switch (RequestIntent(request)) {
        case Intent::kStop:
          HangUp();
          return false;
        case Intent::kSkip:
          return false;
        case Intent::kSleep:
          if (SleepRequest()) return false;
          ClearControlRequestKeepingSignalStop(shared_);
          break;
        default:
          if (request != kRequestNone) ClearControlRequestKeepingSignalStop(shared_);
      }
      if (io_.KeyPressed()) {
        switch (KeyIntent(io_.ReadKey())) {
          case Intent::kStop:
            shared_.control_request = kRequestStop;
            return false;
          case Intent::kSkip:
            return false;
          case Intent::kLonger:
            ++seconds;
            config_.Update([](ConfigRecord& c) {
              if (c.dial_time < 65535) ++c.dial_time;
            });
            break;
          case Intent::kShorter:
            if (seconds > 0) --seconds;
            config_.Update([](ConfigRecord& c) {
              if (c.dial_time > kMinDialTime) --c.dial_time;
            });
            break;
          case Intent::kSleep:
            if (SleepRequest()) return false;
            break;
          default:
            break;
        }
      }
      io_.SleepMs(100);
    }
    if (seconds <= 0) return false;
    --seconds;
    if (seconds <= 0) break;
  }
  return true;
}

void Dialer::DialTask() {
  dial_done_ = false;
  handle_ = 0;
  dial_result_ = 0;
  dial_active_ = true;
  DialRecord record = dial_record();
  int rc = ras_.Dial(record, handle_);
  if (TaskStopRequested()) {
    // Ended from outside: the attempt has been abandoned already.
    dial_done_ = true;
    return;
  }
  if (rc != 0) HangUp();
  dial_result_ = rc;
  dial_done_ = true;
}

void Dialer::HangUp() {
  if (!dial_active_) return;
  std::shared_ptr<const ConfigRecord> cfg = config_.Current();
  uint32_t handle = handle_.exchange(0);
  if (handle != 0) {
    dial_active_ = false;
    (void)flags_.Delete(cfg->connect_flag);
    for (int i = 0; i < kHangUpTries; ++i) {
      (void)ras_.HangUp(handle);
      io_.SleepMs(500);
      if (!FindActiveConnection(false)) break;
    }
    (void)flags_.Delete(cfg->dial_flag);
    io_.SleepMs(500);
  } else {
    io_.SleepMs(500);
    if (handle_ != 0) HangUp();
  }
}

bool Dialer::FindActiveConnection(bool report) {
  std::shared_ptr<const ConfigRecord> cfg = config_.Current();
  if (report && !cfg->break_if_found) return false;
  std::vector<ConnectionInfo> connections;
  if (ras_.EnumConnections(connections) != 0) return false;
  std::string entry = UpperAscii(cfg->entry_name);
  for (const ConnectionInfo& c : connections) {
    if (UpperAscii(c.entry_name) != entry) continue;
    if (report) io_.Log("Found active connection as " + c.entry_name + ".");
    return true;
  }
  return false;
}

int Dialer::BreakConnections(const std::string& name) {
  std::string wanted = UpperAscii(name);
  std::vector<ConnectionInfo> connections;
  (void)ras_.EnumConnections(connections);
  if (connections.empty()) {
    io_.Write("Not found active connections\n");
    return 0;
  }
  int broken = 0;
  for (const ConnectionInfo& c : connections) {
    std::string entry = UpperAscii(c.entry_name);
    io_.Write("Found connection " + entry);
    if (wanted != "*" && wanted != entry) {
      io_.Write("\n");
      continue;
    }
    (void)ras_.HangUp(c.handle);
    // Bounded wait until the connection is gone (its owner may be another process).
    for (int i = 0; i < kHangUpTries; ++i) {
      io_.SleepMs(500);
      std::vector<ConnectionInfo> now;
      (void)ras_.EnumConnections(now);
      bool still = false;
      for (const ConnectionInfo& n : now) still = still || n.handle == c.handle;
      if (!still) break;
    }
    io_.Write(" - BREAK\n");
    ++broken;
  }
  return broken;
}

void Dialer::ExitHangUp() {
  if (!keep_link_) HangUp();
}

}  // namespace netrove
