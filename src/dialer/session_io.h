// What a session touches outside the program's own state: the clock and
// its waits, keys, the status line, the title, log lines and the task that
// dials. The real one (ConsoleSessionIo) goes to the console, the log and
// the task table; tests run the dialer and the session controller on a
// scripted one with simulated time.
//
// Thread safety: the dialer and the controller call it from their thread,
// the "Halt service" and event rules from theirs: implementations must be
// thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "runtime/clock.h"
#include "runtime/console.h"
#include "runtime/log.h"
#include "runtime/tasks.h"

namespace netrove {

inline constexpr int kKeyEsc = 27;

class SessionIo {
 public:
  virtual ~SessionIo() = default;
  // The local wall clock (seconds since 1970, local time) and a wait on
  // the same clock.
  virtual int64_t LocalSeconds() = 0;
  virtual void SleepMs(int ms) = 0;
  virtual bool KeyPressed() = 0;
  virtual int ReadKey() = 0;
  virtual void Log(const std::string& message) = 0;
  // The status line, rewritten in place; ended by EndStatusLine.
  virtual void StatusLine(const std::string& text) = 0;
  virtual void EndStatusLine() = 0;
  virtual void SetTitle(const std::string& title) = 0;
  // Plain output (the BREAK form's lines).
  virtual void Write(std::string_view text) = 0;
  virtual void HideConsole() = 0;
  // True when the program runs on a terminal it reads keys from.
  virtual bool HasConsole() = 0;
  // Starts the blocking dial on the task "Dial proc".
  virtual TaskHandle StartDialTask(std::function<void()> routine) = 0;

  uint32_t NowSeconds() { return ToNowSeconds(LocalSeconds()); }
};

class ConsoleSessionIo final : public SessionIo {
 public:
  ConsoleSessionIo(Env& env, Tasks& tasks, Console& console, netrove::Log& log)
      : env_(env), tasks_(tasks), console_(console), log_(log) {}
  int64_t LocalSeconds() override { return env_.LocalSeconds(); }
  void SleepMs(int ms) override { (void)TaskSleep(ms); }
  bool KeyPressed() override { return console_.KeyPressed(); }
  int ReadKey() override { return console_.ReadKey(); }
  void Log(const std::string& message) override { log_.Write(message); }
  void StatusLine(const std::string& text) override {
    if (!log_.Busy()) console_.StatusLine(text);
  }
  void EndStatusLine() override { console_.EndStatusLine(); }
  void SetTitle(const std::string& title) override { console_.SetTitle(title); }
  void Write(std::string_view text) override { console_.Write(text); }
  void HideConsole() override { console_.Hide(); }
  bool HasConsole() override { return console_.Present(); }
  TaskHandle StartDialTask(std::function<void()> routine) override {
    return tasks_.Start("Dial proc", [routine = std::move(routine)](uint32_t) {
      routine();
      return 0u;
    });
  }

 private:
  Env& env_;
  Tasks& tasks_;
  Console& console_;
  netrove::Log& log_;
};

}  // namespace netrove
