// The console on a POSIX terminal: a ScreenWriter collects what is drawn,
// the "CRT" task writes it out at most twice a second (and explicit
// flushes write it at once), and a KeyReader decodes the raw key input.
#include "runtime/console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "runtime/files.h"
#include "runtime/signals.h"
#include "runtime/terminal.h"
#include "runtime/terminal_keys.h"
#include "runtime/terminal_screen.h"

namespace netrove {
namespace {

constexpr int kFlushMs = 500;
constexpr int kKeyPollMs = 45;
constexpr int kStallMs = 5000;           // a terminal that takes nothing for this long is gone
constexpr size_t kMaxPending = 1 << 20;  // a stuck terminal costs at most this
constexpr size_t kMaxInputLine = 255;

}  // namespace

// Lock order: write_mu before mu; key_mu is taken alone.
struct Console::State {
  explicit State(int in_fd) : keys(in_fd) {}
  std::mutex write_mu;  // serialises writes to the terminal (keeps order)
  std::mutex mu;        // guards screen
  ScreenWriter screen;
  std::mutex key_mu;  // guards keys
  KeyReader keys;
  std::atomic<bool> started{false};
  std::atomic<bool> crt_running{false};
  std::atomic<bool> hidden{false};
  std::atomic<bool> log_to_output{false};
  std::once_flag start_once;
  TaskHandle crt;
};

namespace {

bool IsPresent(const ConsoleIo& io) {
  if (io.present) return *io.present;
  return isatty(io.in_fd) && isatty(io.out_fd);
}

void Flush(Console::State& c, int out_fd) {
  std::lock_guard<std::mutex> write_lock(c.write_mu);
  std::string out;
  {
    std::lock_guard<std::mutex> lock(c.mu);
    c.screen.SetWidth(TerminalWidth(out_fd));
    out = c.screen.TakeOutput();
  }
  // A terminal that cannot take it: nothing sensible is left to do.
  if (!out.empty()) (void)WriteAll(out_fd, out, kStallMs);
}

// Waits `ms` or until the task is asked to stop. Unlike TaskSleep it does
// not stop at the pause gate: the screen stays current while the other
// tasks are suspended.
bool CrtWait(int ms) {
  std::stop_token token = CurrentStopToken();
  std::mutex mu;
  std::condition_variable_any cv;
  std::unique_lock<std::mutex> lock(mu);
  cv.wait_for(lock, token, std::chrono::milliseconds(ms), [] { return false; });
  return !token.stop_requested();
}

}  // namespace

Console::Console(Tasks& tasks, ConsoleIo io)
    : tasks_(tasks), io_(io), present_(IsPresent(io)), state_(std::make_unique<State>(io.in_fd)) {}

Console::~Console() {
  Tasks::Stop(state_->crt);
  Shutdown();
}

void Console::Start() {
  State& c = *state_;
  std::call_once(c.start_once, [&] {
    if (!present_) return;
    (void)EnterRawMode(io_.in_fd);
    {
      std::lock_guard<std::mutex> lock(c.mu);
      c.screen.SetUtf8(LocaleIsUtf8());
    }
    c.started = true;
    c.crt_running = true;
    c.crt = tasks_.Start("CRT", [this](uint32_t) -> uint32_t {
      State& s = *state_;
      while (CrtWait(kFlushMs)) {
        bool dirty;
        {
          std::lock_guard<std::mutex> lock(s.mu);
          dirty = s.screen.Dirty();
        }
        if (dirty) netrove::Flush(s, io_.out_fd);
      }
      s.crt_running = false;
      netrove::Flush(s, io_.out_fd);
      return 0;
    });
  });
}

void Console::Shutdown() {
  State& c = *state_;
  if (present_) {
    std::lock_guard<std::mutex> lock(c.mu);
    if (c.screen.MidLine()) c.screen.EndStatus();
  }
  netrove::Flush(c, io_.out_fd);
  RestoreTerminal();
}

void Console::Write(std::string_view text) {
  if (text.empty()) return;
  State& c = *state_;
  if (!present_) {
    // Output to a file or pipe is written as given; a terminal without key
    // input still gets only safe bytes.
    std::lock_guard<std::mutex> lock(c.write_mu);
    if (isatty(io_.out_fd)) {
      (void)WriteAll(io_.out_fd, ScreenWriter::SafeText(text, LocaleIsUtf8()), kStallMs);
    } else {
      (void)WriteAll(io_.out_fd, text, kStallMs);
    }
    return;
  }
  {
    std::lock_guard<std::mutex> lock(c.mu);
    c.screen.Plain(text);
  }
  netrove::Flush(c, io_.out_fd);
}

void Console::WriteLine(std::string_view text) {
  std::string line(text);
  line += '\n';
  Write(line);
}

namespace {

// Runs `draw` on the screen; writes at once unless the "CRT" task will.
template <typename DrawFn>
void Draw(Console::State& c, int out_fd, DrawFn draw) {
  {
    std::lock_guard<std::mutex> lock(c.mu);
    // Rows are cut when they are drawn, so the width must be current then.
    c.screen.SetWidth(TerminalWidth(out_fd));
    draw(c.screen);
    if (c.screen.PendingSize() > kMaxPending) c.screen.DropPending();
  }
  if (!c.crt_running.load()) Flush(c, out_fd);
}

}  // namespace

void Console::LogLine(std::string_view line) {
  if (!present_) {
    // A service, or output to a pipe: each line as UTF-8 text, for the
    // journal or whoever reads it.
    if (state_->log_to_output) WriteLine(ScreenWriter::SafeText(line, true));
    return;
  }
  if (state_->hidden) return;
  Draw(*state_, io_.out_fd, [&](ScreenWriter& s) { s.LogLine(line); });
}

void Console::StatusLine(std::string_view text) {
  if (!present_ || state_->hidden) return;
  Draw(*state_, io_.out_fd, [&](ScreenWriter& s) { s.Status(text); });
}

void Console::EndStatusLine() {
  if (!present_ || state_->hidden) return;
  Draw(*state_, io_.out_fd, [](ScreenWriter& s) { s.EndStatus(); });
}

void Console::SetTitle(std::string_view title) {
  if (!present_ || state_->hidden) return;
  Draw(*state_, io_.out_fd, [&](ScreenWriter& s) { s.Title(title); });
}

void Console::ClearScreen() {
  if (!present_ || state_->hidden) return;
  Draw(*state_, io_.out_fd, [](ScreenWriter& s) { s.Clear(); });
}

void Console::Flush() {
  if (present_) netrove::Flush(*state_, io_.out_fd);
}

void Console::Hide() {
  if (present_) state_->hidden = true;
}

void Console::LogToOutput() { state_->log_to_output = true; }

bool Console::KeyPressed() {
  State& c = *state_;
  if (!present_ || !c.started.load()) return false;
  ResumeTerminalIfForeground();
  std::lock_guard<std::mutex> lock(c.key_mu);
  return c.keys.Poll();
}

namespace {

// The next key press, waiting for it. Empty when the wait was stopped
// (task stop, stop signal while `stop_on_signal`) or the input is gone.
std::optional<KeyPress> WaitKey(Console::State& c, int in_fd, int out_fd, bool stop_on_signal) {
  Flush(c, out_fd);
  int signals = StopSignalCount();
  for (;;) {
    ResumeTerminalIfForeground();
    bool closed;
    {
      std::lock_guard<std::mutex> lock(c.key_mu);
      if (c.keys.Poll()) return c.keys.Take();
      closed = c.keys.Closed();
    }
    if (closed) {
      // Nothing will come; pace callers that ask again in a loop.
      (void)TaskSleep(kKeyPollMs);
      return std::nullopt;
    }
    if (stop_on_signal && StopSignalCount() != signals) return std::nullopt;
    struct pollfd p = {in_fd, POLLIN, 0};
    if (TaskPoll(&p, 1, kKeyPollMs) < 0 && errno == ECANCELED) return std::nullopt;
  }
}

// A line of input that is not a terminal; at most kMaxInputLine characters
// are kept.
std::string ReadPlainLine(int fd) {
  std::string line;
  char ch;
  for (;;) {
    ssize_t n = read(fd, &ch, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || ch == '\n') break;
    if (line.size() < kMaxInputLine) line += ch;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

int Console::ReadKey() {
  if (!present_ || !state_->started.load()) return 0;
  std::optional<KeyPress> key = WaitKey(*state_, io_.in_fd, io_.out_fd, false);
  return key ? key->code : 0;
}

std::string Console::ReadLine(std::string_view initial) {
  if (!present_ || !state_->started.load()) return ReadPlainLine(io_.in_fd);
  std::string line(initial.substr(0, kMaxInputLine));
  Write(line);
  for (;;) {
    std::optional<KeyPress> key = WaitKey(*state_, io_.in_fd, io_.out_fd, true);
    if (!key || key->code == 13) break;
    if (key->code == 8) {
      if (line.empty()) continue;
      // Remove the last character whole (with its UTF-8 continuation bytes).
      size_t end = line.size() - 1;
      while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xc0) == 0x80) --end;
      line.erase(end);
      Write("\b \b");
      continue;
    }
    if (key->text.empty() || static_cast<unsigned char>(key->text[0]) < 0x20) continue;
    if (line.size() + key->text.size() > kMaxInputLine) continue;
    line += key->text;
    Write(key->text);
  }
  Write("\n");
  return line;
}

}  // namespace netrove
