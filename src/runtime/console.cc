// The console on a POSIX terminal: a ScreenWriter collects what is drawn,
// the "CRT" task writes it out at most twice a second (and explicit flushes
// write it at once), and a KeyReader decodes the raw key input.
#include "runtime/console.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "runtime/signals.h"
#include "runtime/tasks.h"
#include "runtime/terminal.h"
#include "runtime/terminal_keys.h"
#include "runtime/terminal_screen.h"

namespace netrove {
namespace {

constexpr int kInFd = 0;
constexpr int kOutFd = 1;
constexpr int kFlushMs = 500;
constexpr int kKeyPollMs = 45;
constexpr size_t kMaxPending = 1 << 20;  // a stuck terminal costs at most this
constexpr size_t kMaxInputLine = 255;

// The one console of the process. Lock order: write_mu before mu; key_mu
// is taken alone.
struct Console {
  std::mutex write_mu;  // serialises writes to the terminal (keeps order)
  std::mutex mu;        // guards screen
  ScreenWriter screen;
  std::mutex key_mu;  // guards keys
  KeyReader keys{kInFd};
  std::atomic<bool> started{false};
  std::atomic<bool> crt_running{false};
  std::atomic<bool> hidden{false};
};

Console& TheConsole() {
  static Console* console = new Console;  // used until the process ends
  return *console;
}

std::atomic<int> forced_present{-1};

void WriteAll(int fd, std::string_view data) {
  size_t off = 0;
  int stalls = 0;
  while (off < data.size()) {
    ssize_t n = write(fd, data.data() + off, data.size() - off);
    if (n > 0) {
      off += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && ++stalls < 50) {
      struct pollfd p = {fd, POLLOUT, 0};
      (void)poll(&p, 1, 100);
      continue;
    }
    return;  // the output is gone; nothing sensible is left to do
  }
}

void Flush(Console& c) {
  std::lock_guard<std::mutex> write_lock(c.write_mu);
  std::string out;
  {
    std::lock_guard<std::mutex> lock(c.mu);
    c.screen.SetWidth(TerminalWidth(kOutFd));
    out = c.screen.TakeOutput();
  }
  if (!out.empty()) WriteAll(kOutFd, out);
}

bool Drawing(const Console& c) { return ConsolePresent() && !c.hidden.load(); }

// Runs `draw` on the screen; writes at once unless the "CRT" task will.
template <typename DrawFn>
void Draw(Console& c, DrawFn draw) {
  {
    std::lock_guard<std::mutex> lock(c.mu);
    // Rows are cut when they are drawn, so the width must be current then.
    c.screen.SetWidth(TerminalWidth(kOutFd));
    draw(c.screen);
    if (c.screen.PendingSize() > kMaxPending) c.screen.DropPending();
  }
  if (!c.crt_running.load()) Flush(c);
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

uint32_t CrtTask(uint32_t) {
  Console& c = TheConsole();
  while (CrtWait(kFlushMs)) {
    bool dirty;
    {
      std::lock_guard<std::mutex> lock(c.mu);
      dirty = c.screen.Dirty();
    }
    if (dirty) Flush(c);
  }
  c.crt_running = false;
  Flush(c);
  return 0;
}

// The next key press, waiting for it. Empty when the wait was stopped
// (task stop, stop signal while `stop_on_signal`) or the input is gone.
std::optional<KeyPress> WaitKey(Console& c, bool stop_on_signal) {
  Flush(c);
  int signals = StopSignalCount();
  for (;;) {
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
    struct pollfd p = {kInFd, POLLIN, 0};
    if (TaskPoll(&p, 1, kKeyPollMs) < 0 && errno == ECANCELED) return std::nullopt;
  }
}

// A line from standard input when it is not a terminal; at most
// kMaxInputLine characters are kept.
std::string ReadPlainLine() {
  std::string line;
  char ch;
  for (;;) {
    ssize_t n = read(kInFd, &ch, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || ch == '\n') break;
    if (line.size() < kMaxInputLine) line += ch;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

bool ConsolePresent() {
  int forced = forced_present.load();
  if (forced >= 0) return forced != 0;
  static const bool present = isatty(kInFd) && isatty(kOutFd);
  return present;
}

void SetConsolePresentForTesting(bool present) { forced_present = present ? 1 : 0; }

void ConsoleStart() {
  static std::once_flag once;
  std::call_once(once, [] {
    InstallSignalHandlers();
    if (!ConsolePresent()) return;
    Console& c = TheConsole();
    (void)EnterRawMode(kInFd);
    {
      std::lock_guard<std::mutex> lock(c.mu);
      c.screen.SetUtf8(LocaleIsUtf8());
    }
    c.started = true;
    c.crt_running = true;
    StartTask("CRT", CrtTask);
  });
}

void ConsoleShutdown() {
  Console& c = TheConsole();
  if (ConsolePresent()) {
    std::lock_guard<std::mutex> lock(c.mu);
    if (c.screen.MidLine()) c.screen.EndStatus();
  }
  Flush(c);
  RestoreTerminal();
}

void ConsoleWrite(std::string_view text) {
  if (text.empty()) return;
  Console& c = TheConsole();
  if (!ConsolePresent()) {
    // Output to a file or pipe is written as given; a terminal without
    // key input still gets only safe bytes.
    static const bool out_is_terminal = isatty(kOutFd);
    std::lock_guard<std::mutex> lock(c.write_mu);
    if (out_is_terminal) {
      WriteAll(kOutFd, ScreenWriter::SafeText(text, LocaleIsUtf8()));
    } else {
      WriteAll(kOutFd, text);
    }
    return;
  }
  {
    std::lock_guard<std::mutex> lock(c.mu);
    c.screen.Plain(text);
  }
  Flush(c);
}

void ConsoleWriteLine(std::string_view text) {
  std::string line(text);
  line += '\n';
  ConsoleWrite(line);
}

void ConsoleLogLine(std::string_view line) {
  Console& c = TheConsole();
  if (!Drawing(c)) return;
  Draw(c, [&](ScreenWriter& s) { s.LogLine(line); });
}

void ConsoleStatusLine(std::string_view text) {
  Console& c = TheConsole();
  if (!Drawing(c)) return;
  Draw(c, [&](ScreenWriter& s) { s.Status(text); });
}

void ConsoleEndStatusLine() {
  Console& c = TheConsole();
  if (!Drawing(c)) return;
  Draw(c, [](ScreenWriter& s) { s.EndStatus(); });
}

bool ConsoleMidLine() {
  Console& c = TheConsole();
  if (!ConsolePresent()) return false;
  std::lock_guard<std::mutex> lock(c.mu);
  return c.screen.MidLine();
}

void ConsoleSetTitle(std::string_view title) {
  Console& c = TheConsole();
  if (!Drawing(c)) return;
  Draw(c, [&](ScreenWriter& s) { s.Title(title); });
}

void ConsoleClearScreen() {
  Console& c = TheConsole();
  if (!Drawing(c)) return;
  Draw(c, [](ScreenWriter& s) { s.Clear(); });
}

void ConsoleFlush() {
  if (ConsolePresent()) Flush(TheConsole());
}

void ConsoleDelay(int ms) {
  ConsoleFlush();
  (void)TaskSleep(ms);
}

void HideConsole() {
  if (ConsolePresent()) TheConsole().hidden = true;
}
void ShowConsole() { TheConsole().hidden = false; }
bool ConsoleHidden() { return TheConsole().hidden.load(); }
void MinimiseConsole() {}
void RestoreConsole() {}

bool KeyPressed() {
  Console& c = TheConsole();
  if (!ConsolePresent() || !c.started.load()) return false;
  std::lock_guard<std::mutex> lock(c.key_mu);
  return c.keys.Poll();
}

int ReadKey() {
  Console& c = TheConsole();
  if (!ConsolePresent() || !c.started.load()) return 0;
  std::optional<KeyPress> key = WaitKey(c, false);
  return key ? key->code : 0;
}

std::string ReadConsoleLine(std::string_view initial) {
  Console& c = TheConsole();
  if (!ConsolePresent() || !c.started.load()) return ReadPlainLine();
  std::string line(initial.substr(0, kMaxInputLine));
  ConsoleWrite(line);
  for (;;) {
    std::optional<KeyPress> key = WaitKey(c, true);
    if (!key || key->code == 13) break;
    if (key->code == 8) {
      if (line.empty()) continue;
      // Remove the last character whole (with its UTF-8 continuation bytes).
      size_t end = line.size() - 1;
      while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xc0) == 0x80) --end;
      line.erase(end);
      ConsoleWrite("\b \b");
      continue;
    }
    if (key->text.empty() || static_cast<unsigned char>(key->text[0]) < 0x20) continue;
    if (line.size() + key->text.size() > kMaxInputLine) continue;
    line += key->text;
    ConsoleWrite(key->text);
  }
  ConsoleWrite("\n");
  return line;
}

}  // namespace netrove
