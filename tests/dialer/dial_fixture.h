// The dialer's and session controller's fixture: a scripted line (remote access and session I/O on
// one simulated clock), files in memory, a Dialer. Time moves only when the controller's thread
// sleeps, once the "Dial proc" task has caught up: runs are deterministic and take milliseconds.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <thread>

#include "dialer/dial.h"
#include "lib/test_context.h"

namespace netrove {

using Strings = std::vector<std::string>;
class FakeLine;
using Line = FakeLine;

class FakeLine final : public RemoteAccess, public SessionIo {
 public:
  struct Outcome {
    int result = 0;              // 0 connects
    int64_t after_ms = 1000;     // until the dial ends; -1 never
    int64_t drop_after_ms = -1;  // on-line until the line drops; -1 never
  };
  static Outcome Connect(int64_t after_ms = 1000, int64_t drop_ms = -1) {
    return {0, after_ms, drop_ms};
  }
  static Outcome Fail(int code, int64_t after_ms = 1000) { return {code, after_ms, -1}; }
  static Outcome Hang() { return {0, -1, -1}; }
  static constexpr int64_t kStartLocal = 1772452800;  // Monday 2 March 2026, 12:00

  FakeLine(Tasks& tasks, netrove::Log& log) : tasks_(tasks), log_(log) {}

  // Dials take their outcomes in turn, round and round.
  void Script(std::vector<Outcome> outcomes) {
    std::lock_guard<std::mutex> lock(mu_);
    script_ = std::move(outcomes);
    next_ = 0;
  }
  void AddKey(int64_t at_ms, int key) { keys_.push_back({at_ms, key}); }
  void PressNow(int key) { AddKey(now_ms(), key); }
  // A connection of another process.
  void AddForeign(uint32_t handle, const std::string& entry) {
    std::lock_guard<std::mutex> lock(mu_);
    conns_[handle] = Conn{entry, true, -1};
  }
  Strings DialledNumbers() {
    std::lock_guard<std::mutex> lock(mu_);
    return dialled_;
  }
  int hangups() const { return hangups_; }
  int64_t now_ms() const { return now_ms_; }

  std::atomic<int> stubborn_hangups{0};  // report success, change nothing
  std::string entry_phone;               // the entry's own number
  std::atomic<int64_t> clock_offset{0};  // seconds added to the local clock
  std::function<void()> on_status;       // runs after each status line
  // Written by the controller's thread.
  Strings status, titles;
  std::string written;
  bool hidden = false;

  // --- SessionIo
  int64_t LocalSeconds() override { return kStartLocal + now_ms_ / 1000 + clock_offset; }
  void SleepMs(int ms) override {
    if (std::this_thread::get_id() != controller_) return;
    std::unique_lock<std::mutex> lock(mu_);
    now_ms_ += ms;
    if (waiting_ && wake_at_ >= 0 && now_ms_ >= wake_at_) Wake();
    if (!cv_.wait_for(lock, std::chrono::seconds(5), [this] { return !busy_; }))
      ADD_FAILURE() << "the dial task did not settle";
    if (now_ms_ % 3600000 < ms) {  // a session that should have ended: ESC, each simulated hour
      ADD_FAILURE() << "still running after " << now_ms_ / 1000 << " simulated seconds";
      keys_.push_front({0, kKeyEsc});
    }
  }
  bool KeyPressed() override { return !keys_.empty() && keys_.front().first <= now_ms_; }
  int ReadKey() override {
    if (keys_.empty()) return 0;
    int key = keys_.front().second;
    keys_.pop_front();
    return key;
  }
  void Log(const std::string& message) override { log_.Write(message); }
  void StatusLine(const std::string& text) override {
    status.push_back(text);
    if (on_status) on_status();
  }
  void EndStatusLine() override {}
  void SetTitle(const std::string& title) override { titles.push_back(title); }
  void Write(std::string_view text) override { written += text; }
  void HideConsole() override { hidden = true; }
  bool HasConsole() override { return true; }
  TaskHandle StartDialTask(std::function<void()> routine) override {
    SetBusy(true);
    return tasks_.Start("Dial proc", [this, routine = std::move(routine)](uint32_t) {
      routine();
      SetBusy(false);
      return 0u;
    });
  }

  // --- RemoteAccess
  int EnumConnections(std::vector<ConnectionInfo>& out) override {
    std::lock_guard<std::mutex> lock(mu_);
    out.clear();
    for (const auto& [h, c] : conns_)
      if (!Dropped(c)) out.push_back({h, c.entry, "fake"});
    return 0;
  }
  int EnumEntries(std::vector<std::string>&) override { return -1; }
  int GetConnectStatus(uint32_t handle, ConnectStatus& out) override {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = conns_.find(handle);
    if (it == conns_.end()) return kErrorInvalidHandle;
    out = !it->second.connected ? ConnectStatus{0, 0}
          : Dropped(it->second) ? ConnectStatus{kStateDisconnected, kErrorRemoteDisconnection}
                                : ConnectStatus{kStateConnected, 0};
    return 0;
  }
  std::string ErrorText(int code) override { return "text of " + std::to_string(code); }
  int HangUp(uint32_t handle) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++hangups_;
    if (stubborn_hangups > 0) {
      --stubborn_hangups;
      return 0;
    }
    auto it = conns_.find(handle);
    if (it == conns_.end()) return kErrorInvalidHandle;
    if (!it->second.connected && waiting_) {
      cancel_ = true;
      Wake();
    }
    conns_.erase(it);
    return 0;
  }
  int GetEntryDialParams(const std::string&, DialRecord&, bool&) override { return -1; }
  int GetEntryProperties(const std::string&, EntryProperties& props) override {
    props = EntryProperties{};
    props.local_phone = entry_phone;
    return 0;
  }
  int CreateEntry(const NewEntry&) override { return -1; }
  int Dial(const DialRecord& params, std::atomic<uint32_t>& handle) override {
    std::unique_lock<std::mutex> lock(mu_);
    dialled_.push_back(params.phone_number);
    Outcome o = script_.empty() ? Connect() : script_[next_++ % script_.size()];
    uint32_t h = next_handle_++;
    conns_[h] = Conn{params.entry_name, false, -1};
    handle = h;
    cancel_ = false;
    wake_at_ = o.after_ms < 0 ? -1 : now_ms_ + o.after_ms;
    waiting_ = true;
    busy_ = false;
    cv_.notify_all();
    std::stop_token stop = CurrentStopToken();
    cv_.wait(lock, stop, [this] { return !waiting_; });
    waiting_ = false;
    if (stop.stop_requested() || cancel_ || o.result != 0) {
      conns_.erase(h);
      return stop.stop_requested() || cancel_ ? kErrorUserDisconnection : o.result;
    }
    conns_[h] = Conn{params.entry_name, true, o.drop_after_ms < 0 ? -1 : now_ms_ + o.drop_after_ms};
    return 0;
  }

 private:
  struct Conn {
    std::string entry;
    bool connected = false;
    int64_t drop_at = -1;
  };
  bool Dropped(const Conn& c) const {
    return c.connected && c.drop_at >= 0 && now_ms_ >= c.drop_at;
  }
  void Wake() {  // mu_ held
    waiting_ = false;
    busy_ = true;
    cv_.notify_all();
  }
  void SetBusy(bool busy) {
    std::lock_guard<std::mutex> lock(mu_);
    busy_ = busy;
    cv_.notify_all();
  }

  Tasks& tasks_;
  netrove::Log& log_;
  const std::thread::id controller_ = std::this_thread::get_id();
  std::deque<std::pair<int64_t, int>> keys_;  // controller's thread only
  std::mutex mu_;
  std::condition_variable_any cv_;
  std::atomic<int64_t> now_ms_{0};
  std::atomic<int> hangups_{0};
  bool busy_ = false, waiting_ = false, cancel_ = false;
  int64_t wake_at_ = 0;
  std::vector<Outcome> script_;
  size_t next_ = 0;
  uint32_t next_handle_ = 1;
  std::map<uint32_t, Conn> conns_;
  Strings dialled_;
};

class DialFixture : public ::testing::Test {
 protected:
  DialFixture() {
    Config([](ConfigRecord& c) {
      c.entry_name = "Demo";
      c.phone = "555";
      c.add_phone = {""};
      c.wait_time = 2;
      c.dial_time = 20;
    });
    ctx_.shared.connection_arg.Set("Demo");
    dialer_.PrepareForSession();
  }
  void Config(const std::function<void(ConfigRecord&)>& change) { ctx_.config.Update(change); }
  uint8_t Request() const { return ctx_.shared.control_request; }
  bool Exists(const std::string& path) { return FileExists(env_, path); }

  testing::FakeEnv env_;
  testing::TestContext ctx_{&env_};
  FakeLine line_{ctx_.tasks, ctx_.log};
  FlagFiles flags_{env_};
  Dialer dialer_{line_, line_, ctx_.config, ctx_.shared, flags_};
};

}  // namespace netrove
