#include "dialer/dial.h"

#include <utility>
#include <vector>

#include "accounting/clock.h"
#include "config/config.h"
#include "dialer/schedule.h"
#include "runtime/console.h"
#include "runtime/local_clock.h"
#include "runtime/log.h"
#include "runtime/program.h"
#include "runtime/shared_state.h"
#include "runtime/signals.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr int kHangUpTries = 10;
constexpr uint16_t kMinDialTime = 10;

// The connection name without directory part and extension.
int UpperKey(int key) { return key >= 'a' && key <= 'z' ? key - 'a' + 'A' : key; }

}  // namespace

DialerIo DialerIo::System() {
  DialerIo io;
  io.ras = SystemRemoteAccess();
  io.now_seconds = [] { return NowSeconds(); };
  io.sleep_ms = [](int ms) { TaskSleep(ms); };
  io.key_pressed = [] { return KeyPressed(); };
  io.read_key = [] { return ReadKey(); };
  io.log = [](const std::string& message) { Log(message); };
  io.status_line = [](const std::string& text) {
    if (!LogBusy()) ConsoleStatusLine(text);
  };
  io.end_status_line = [] { ConsoleEndStatusLine(); };
  io.set_title = [](const std::string& title) { ConsoleSetTitle(title); };
  io.write = [](std::string_view text) { ConsoleWrite(text); };
  io.hide_console = [] { HideConsole(); };
  io.start_dial_task = [](std::function<void()> routine) {
    return StartTask("Dial proc", [routine = std::move(routine)](uint32_t) {
      routine();
      return 0u;
    });
  };
  return io;
}

Dialer::Dialer(DialerIo io, SessionHooks hooks)
    : io_(std::move(io)), hooks_(std::make_shared<const SessionHooks>(std::move(hooks))) {}

std::shared_ptr<const SessionHooks> Dialer::hooks() const {
  std::lock_guard<std::mutex> lock(mu_);
  return hooks_;
}

void Dialer::SetHooks(SessionHooks hooks) {
  auto fresh = std::make_shared<const SessionHooks>(std::move(hooks));
  std::lock_guard<std::mutex> lock(mu_);
  hooks_ = std::move(fresh);
}

DialRecord Dialer::dial_record() const {
  std::lock_guard<std::mutex> lock(mu_);
  return record_;
}

void Dialer::PrepareForSession() {
  std::shared_ptr<const ConfigRecord> cfg = CurrentConfig();
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
  aborted_ = false;
}

int Dialer::LinkStatus(ConnectStatus& status) {
  status = ConnectStatus{};
  return io_.ras->GetConnectStatus(handle_, status);
}

bool Dialer::DialEntry() {
  std::shared_ptr<const ConfigRecord> cfg = CurrentConfig();
  std::shared_ptr<const SessionHooks> hooks = this->hooks();
  SharedState& shared = Shared();
  if (!cfg->dial_flag.empty()) hooks->create_flag_file(cfg->dial_flag);

  // The number of this attempt.
  std::vector<std::string> numbers = NumberList(cfg->add_phone);
  if (dial_attempt_ + 1u > numbers.size()) dial_attempt_ = 0;
  std::string number = numbers[dial_attempt_];
  if (number.empty()) number = cfg->phone;
  bool entry_number = false;  // "Default": the backend dials the entry's own number
  if (number.empty()) {
    EntryProperties props;
    if (io_.ras->GetEntryProperties(cfg->entry_name, props) == 0 && !props.local_phone.empty()) {
      number = props.local_phone;
    } else {
      number = "Default";
      entry_number = true;
    }
  }
  dial_result_ = 0;
  ScheduledNumber scheduled = ApplySchedule(number, BreakDownLocal(LocalUnixSeconds()));
  if (!scheduled.allowed) dial_result_ = kErrorOutsideSchedule;
  number = scheduled.number;
  {
    std::lock_guard<std::mutex> lock(mu_);
    record_.phone_number =
        entry_number ? std::string() : (cfg->dial_prefix + number).substr(0, 128);
  }

  std::string label = "Connecting to " + cfg->entry_name;
  std::string bare = BareName(shared.connection_arg.Get());
  if (bare != cfg->entry_name) label += "/" + bare;
  label += " (" + number + ")";
  io_.set_title(label);
  io_.log(label);

  bool result = true;
  dial_done_ = false;
  TaskHandle task;
  if (dial_result_ == 0) task = io_.start_dial_task([this] { DialTask(); });
  io_.sleep_ms(250);
  int seconds = CurrentConfig()->dial_time;
  if (shared.control_request != kRequestNone) ClearControlRequestKeepingSignalStop();

  if (!Countdown(seconds)) {
    HangUp();
    result = false;
    dial_result_ = 0;
  } else if (dial_result_ == 0 && !dial_done_ && seconds <= 0) {
    result = false;  // timed out
  }

  if (task && TaskRunning(task)) StopTask(task);
  if (!result) HangUp();
  io_.end_status_line();
  shared.local_address_text.Set(hooks->local_interface_description());
  return result;
}

bool Dialer::Countdown(int& seconds) {
  SharedState& shared = Shared();
  auto sleep_request = [this] {
    std::string flag = CurrentConfig()->sleep_flag;
    if (flag.empty()) return false;
    hooks()->create_flag_file(flag);
    return true;
  };
  while (!dial_done_ && dial_result_ == 0) {
    std::string count = std::to_string(seconds);
    shared.status_text.Set("Dialing... (" + count + ")");
    io_.status_line("ESC-cancel, Space-try, S-sleep - Connecting... (" + count + ") ");
    for (int tick = 0; tick < 10; ++tick) {
      if (dial_done_) break;
      uint8_t request = shared.control_request;
      if (request == kRequestStop) {
        HangUp();
        return false;
      }
      if (request == kRequestRedial) return false;
      if (request == kRequestSleep) {
        if (sleep_request()) return false;
        ClearControlRequestKeepingSignalStop();
      } else if (request != kRequestNone) {
        ClearControlRequestKeepingSignalStop();
      }
      if (io_.key_pressed()) {
        int key = UpperKey(io_.read_key());
        if (key == kKeyEsc) {
          shared.control_request = kRequestStop;
          return false;
        }
        if (key == ' ') return false;
        if (key == '+') {
          ++seconds;
          UpdateConfig([](ConfigRecord& c) {
            if (c.dial_time < 65535) ++c.dial_time;
          });
        } else if (key == '-') {
          if (seconds > 0) --seconds;
          UpdateConfig([](ConfigRecord& c) {
            if (c.dial_time > kMinDialTime) --c.dial_time;
          });
        } else if (key == 'S') {
          if (sleep_request()) return false;
        }
      }
      io_.sleep_ms(100);
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
  int rc = io_.ras->Dial(record, handle_);
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
  std::shared_ptr<const ConfigRecord> cfg = CurrentConfig();
  std::shared_ptr<const SessionHooks> hooks = this->hooks();
  uint32_t handle = handle_.exchange(0);
  if (handle != 0) {
    dial_active_ = false;
    if (!cfg->connect_flag.empty()) hooks->delete_flag_file(cfg->connect_flag);
    for (int i = 0; i < kHangUpTries; ++i) {
      io_.ras->HangUp(handle);
      io_.sleep_ms(500);
      if (!FindActiveConnection(false)) break;
    }
    if (!cfg->dial_flag.empty()) hooks->delete_flag_file(cfg->dial_flag);
    io_.sleep_ms(500);
  } else {
    io_.sleep_ms(500);
    if (handle_ != 0) HangUp();
  }
}

bool Dialer::FindActiveConnection(bool report) {
  std::shared_ptr<const ConfigRecord> cfg = CurrentConfig();
  if (report && !cfg->break_if_found) return false;
  std::vector<ConnectionInfo> connections;
  if (io_.ras->EnumConnections(connections) != 0) return false;
  std::string entry = UpperAscii(cfg->entry_name);
  bool found = false;
  for (const ConnectionInfo& c : connections) {
    if (UpperAscii(c.entry_name) != entry) continue;
    found = true;
    if (report) {
      io_.log("Found active connection as " + c.entry_name + ".");
      AbortProgram();
      break;
    }
  }
  return found;
}

void Dialer::AbortProgram() {
  // Once per session: a break step and the controller may both abort (the
  // break time reached while the controller waits to redial).
  if (aborted_.exchange(true)) {
    Shared().control_request = kRequestStop;
    return;
  }
  io_.end_status_line();
  io_.log("Aborted!");
  hooks()->stop_services();
  Shared().control_request = kRequestStop;
}

void Dialer::BreakStep() {
  HangUp();
  Shared().control_request = kRequestStop;
  io_.sleep_ms(1000);
  Shared().control_request = kRequestStop;
  AbortProgram();
}

int Dialer::BreakConnections(const std::string& name) {
  std::string wanted = UpperAscii(name);
  std::vector<ConnectionInfo> connections;
  io_.ras->EnumConnections(connections);
  if (connections.empty()) {
    io_.write("Not found active connections\n");
    return 0;
  }
  int broken = 0;
  for (const ConnectionInfo& c : connections) {
    std::string entry = UpperAscii(c.entry_name);
    io_.write("Found connection " + entry);
    if (wanted != "*" && wanted != entry) {
      io_.write("\n");
      continue;
    }
    io_.ras->HangUp(c.handle);
    // Bounded wait until the connection is gone (its owner may be another process).
    for (int i = 0; i < kHangUpTries; ++i) {
      io_.sleep_ms(500);
      std::vector<ConnectionInfo> now;
      io_.ras->EnumConnections(now);
      bool still = false;
      for (const ConnectionInfo& n : now) still = still || n.handle == c.handle;
      if (!still) break;
    }
    io_.write(" - BREAK\n");
    ++broken;
  }
  return broken;
}

void Dialer::ExitHangUp() {
  if (!keep_link_) HangUp();
}

Dialer& TheDialer() {
  static Dialer* dialer = [] {
    auto* d = new Dialer(DialerIo::System());  // lives until the process ends
    AddExitProc([d] { d->ExitHangUp(); });
    return d;
  }();
  return *dialer;
}

void AbortProgram() { TheDialer().AbortProgram(); }
void HangUp() { TheDialer().HangUp(); }
void BreakStep() { TheDialer().BreakStep(); }

}  // namespace netrove
