// A scripted remote-access layer and a fake clock for the dialer and the
// session controller. Time only moves when the controller sleeps; each
// sleep then waits until the "Dial proc" task has caught up (it is either
// blocked in the fake dial or finished), so every run is deterministic and
// takes milliseconds.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "dialer/dial.h"
#include "runtime/local_clock.h"
#include "runtime/shared_state.h"
#include "runtime/tasks.h"

namespace netrove {

class FakeRemoteAccess : public RemoteAccess {
 public:
  struct Outcome {
    int result = 0;        // 0 connects
    int64_t after_ms = 0;  // until the dial ends
    bool hang = false;     // never ends by itself
    int64_t drop_after_ms = -1;
  };
  static Outcome Connect(int64_t after_ms = 1000, int64_t drop_after_ms = -1) {
    return {0, after_ms, false, drop_after_ms};
  }
  static Outcome Fail(int code, int64_t after_ms = 1000) { return {code, after_ms, false, -1}; }
  static Outcome Hang() { return {0, 0, true, -1}; }

  FakeRemoteAccess() : controller_(std::this_thread::get_id()) {}

  // --- scripting and inspection (test thread)
  void Script(std::vector<Outcome> outcomes) {
    std::lock_guard<std::mutex> lock(mu_);
    script_ = std::move(outcomes);
    next_ = 0;
  }
  std::vector<DialRecord> Dials() {
    std::lock_guard<std::mutex> lock(mu_);
    return dials_;
  }
  std::vector<std::string> DialledNumbers() {
    std::vector<std::string> out;
    for (const DialRecord& d : Dials()) out.push_back(d.phone_number);
    return out;
  }
  int hangups() {
    std::lock_guard<std::mutex> lock(mu_);
    return hangups_;
  }
  int64_t now_ms() {
    std::lock_guard<std::mutex> lock(mu_);
    return now_ms_;
  }
  void set_entry_phone(std::string phone) { entry_phone_ = std::move(phone); }
  void set_stubborn_hangups(int n) { stubborn_ = n; }
  void AddForeign(uint32_t handle, std::string entry) {
    std::lock_guard<std::mutex> lock(mu_);
    foreign_[handle] = std::move(entry);
  }
  void AddKey(int64_t at_ms, int key) {
    std::lock_guard<std::mutex> lock(mu_);
    keys_.push_back({at_ms, key});
  }

  // --- the I/O a Dialer gets
  void Sleep(int ms) {
    if (std::this_thread::get_id() != controller_) return;  // the dial task's waits are instant
    std::unique_lock<std::mutex> lock(mu_);
    now_ms_ += ms;
    if (waiting_ && now_ms_ >= wake_at_) Wake();
    if (!cv_.wait_for(lock, std::chrono::seconds(5), [this] { return !busy_; }))
      ADD_FAILURE() << "dial task did not settle";
  }
  bool KeyPressed() {
    std::lock_guard<std::mutex> lock(mu_);
    return !keys_.empty() && keys_.front().first <= now_ms_;
  }
  int ReadKey() {
    std::lock_guard<std::mutex> lock(mu_);
    if (keys_.empty()) return 0;
    int key = keys_.front().second;
    keys_.pop_front();
    return key;
  }
  TaskHandle StartDialTask(std::function<void()> routine) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      busy_ = true;
    }
    return StartTask("Dial proc", [this, routine = std::move(routine)](uint32_t) {
      routine();
      std::lock_guard<std::mutex> lock(mu_);
      busy_ = false;
      cv_.notify_all();
      return 0u;
    });
  }

  // --- RemoteAccess
  int EnumConnections(std::vector<ConnectionInfo>& out) override {
    std::lock_guard<std::mutex> lock(mu_);
    out.clear();
    for (auto& [h, c] : conns_)
      if (!c.connected || c.drop_at < 0 || now_ms_ < c.drop_at) out.push_back({h, c.entry, "fake"});
    for (auto& [h, e] : foreign_) out.push_back({h, e, "fake"});
    return 0;
  }
  int EnumEntries(std::vector<std::string>& out) override {
    out = {"Demo"};
    return 0;
  }
  int GetConnectStatus(uint32_t handle, ConnectStatus& status) override {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = conns_.find(handle);
    if (it == conns_.end()) return kErrorInvalidHandle;
    if (!it->second.connected) {
      status = {0, 0};
    } else if (it->second.drop_at >= 0 && now_ms_ >= it->second.drop_at) {
      status = {kStateDisconnected, kErrorRemoteDisconnection};
    } else {
      status = {kStateConnected, 0};
    }
    return 0;
  }
  std::string ErrorText(int code) override { return "text of " + std::to_string(code); }
  int HangUp(uint32_t handle) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++hangups_;
    if (stubborn_ > 0) {
      --stubborn_;
      return 0;
    }
    if (foreign_.erase(handle) > 0) return 0;
    auto it = conns_.find(handle);
    if (it == conns_.end()) return kErrorInvalidHandle;
    if (!it->second.connected && waiting_) {
      cancel_ = true;
      Wake();
    }
    conns_.erase(it);
    return 0;
  }
  int GetEntryDialParams(const std::string&, DialRecord&, bool& stored) override {
    stored = false;
    return -1;
  }
  int GetEntryProperties(const std::string&, EntryProperties& props) override {
    props = EntryProperties{};
    props.local_phone = entry_phone_;
    return 0;
  }
  int SetEntryProperties(const std::string&, const EntryProperties&) override { return -1; }
  int CreateEntry(const NewEntry&) override { return -1; }
  int Dial(const DialRecord& params, std::atomic<uint32_t>& handle) override {
    std::unique_lock<std::mutex> lock(mu_);
    dials_.push_back(params);
    Outcome o = script_.empty() ? Connect() : script_[next_++ % script_.size()];
    uint32_t h = next_handle_++;
    conns_[h] = Conn{params.entry_name, false, -1};
    handle = h;
    cancel_ = false;
    wake_at_ = o.hang ? INT64_MAX : now_ms_ + o.after_ms;
    waiting_ = true;
    busy_ = false;
    cv_.notify_all();
    std::stop_token stop = CurrentStopToken();
    cv_.wait(lock, stop, [this] { return !waiting_; });
    waiting_ = false;
    if (stop.stop_requested() || cancel_) {
      conns_.erase(h);
      return kErrorUserDisconnection;
    }
    if (o.result != 0) {
      conns_.erase(h);
      return o.result;
    }
    conns_[h].connected = true;
    conns_[h].drop_at = o.drop_after_ms < 0 ? -1 : now_ms_ + o.drop_after_ms;
    return 0;
  }

 private:
  struct Conn {
    std::string entry;
    bool connected = false;
    int64_t drop_at = -1;
  };
  void Wake() {  // mu_ held
    waiting_ = false;
    busy_ = true;
    cv_.notify_all();
  }

  const std::thread::id controller_;
  std::mutex mu_;
  std::condition_variable_any cv_;
  int64_t now_ms_ = 0;
  bool busy_ = false, waiting_ = false, cancel_ = false;
  int64_t wake_at_ = 0;
  std::vector<Outcome> script_;
  size_t next_ = 0;
  uint32_t next_handle_ = 1;
  std::map<uint32_t, Conn> conns_;
  std::map<uint32_t, std::string> foreign_;
  std::vector<DialRecord> dials_;
  std::deque<std::pair<int64_t, int>> keys_;
  std::string entry_phone_;
  int stubborn_ = 0;
  int hangups_ = 0;
};

// A Dialer wired to a FakeRemoteAccess, with everything it writes recorded.
class DialFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_ = std::make_shared<FakeRemoteAccess>();
    DialerIo io;
    io.ras = fake_;
    FakeRemoteAccess* f = fake_.get();
    io.now_seconds = [this, f] {
      return static_cast<uint32_t>(1000000 + f->now_ms() / 1000 + clock_offset_);
    };
    io.sleep_ms = [f](int ms) { f->Sleep(ms); };
    io.key_pressed = [f] { return f->KeyPressed(); };
    io.read_key = [f] { return f->ReadKey(); };
    io.log = [this](const std::string& m) { Record(log_, m); };
    io.status_line = [this](const std::string& m) {
      Record(status_, m);
      if (on_status_) on_status_();
    };
    io.end_status_line = [] {};
    io.set_title = [this](const std::string& m) { Record(titles_, m); };
    io.write = [this](std::string_view m) {
      std::lock_guard<std::mutex> lock(mu_);
      written_ += m;
    };
    io.hide_console = [this] { hidden_ = true; };
    io.start_dial_task = [f](std::function<void()> r) { return f->StartDialTask(std::move(r)); };
    dialer_ = std::make_unique<Dialer>(std::move(io));
    hooks_.create_flag_file = [this](const std::string& n) { Record(flags_, "+" + n); };
    hooks_.delete_flag_file = [this](const std::string& n) { Record(flags_, "-" + n); };
    hooks_.stop_services = [this] { Record(events_, "stop_services"); };
    dialer_->SetHooks(hooks_);
    UpdateConfig([](ConfigRecord& c) {
      c = ConfigRecord{};
      c.entry_name = "Demo";
      c.phone = "555";
      c.add_phone = {""};
    });
    Shared().control_request = kRequestNone;
    Shared().link_mode = kLinkIdle;
    Shared().connection_arg.Set("Demo");
    // Monday 2 March 2026, 12:00 local time.
    SetLocalClockForTesting([] { return int64_t{1772452800}; });
  }
  void TearDown() override {
    dialer_.reset();
    SetLocalClockForTesting(nullptr);
    UpdateConfig([](ConfigRecord& c) { c = ConfigRecord{}; });
    Shared().control_request = kRequestNone;
  }
  // Installs changed hooks (hooks_ is the table the dialer uses).
  void ApplyHooks() { dialer_->SetHooks(hooks_); }

  void Record(std::vector<std::string>& into, const std::string& m) {
    std::lock_guard<std::mutex> lock(mu_);
    into.push_back(m);
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(mu_);
    return log_;
  }
  int CountLogged(const std::string& line) {
    std::vector<std::string> log = Log();
    return static_cast<int>(std::count(log.begin(), log.end(), line));
  }
  bool Logged(const std::string& line) { return CountLogged(line) > 0; }

  std::shared_ptr<FakeRemoteAccess> fake_;
  std::unique_ptr<Dialer> dialer_;
  SessionHooks hooks_;
  std::mutex mu_;
  std::vector<std::string> log_, status_, titles_, flags_, events_;
  std::string written_;
  bool hidden_ = false;
  std::function<void()> on_status_;       // runs after each status line
  std::atomic<int64_t> clock_offset_{0};  // seconds added to the clock
};

}  // namespace netrove
