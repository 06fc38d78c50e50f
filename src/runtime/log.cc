#include "runtime/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>

#include "runtime/console.h"
#include "runtime/local_clock.h"
#include "runtime/shared_state.h"

namespace netrove {
namespace {

std::mutex log_mu;  // serialises whole lines
std::atomic<bool> log_busy{false};
std::mutex file_name_mu;
std::string log_file_name;  // guarded by file_name_mu
std::mutex proc_mu;
std::shared_ptr<LogRoutine> log_proc;  // guarded by proc_mu; null = LogMessage

bool WriteAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = write(fd, data.data() + off, data.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// The time stamp's mark is byte 254 ("■" in the console's old code page);
// the file gets it as UTF-8, so that text tools take the log for text.
std::string ForFile(std::string line) {
  constexpr size_t kMarkAt = 12;  // "dd/mm hh:mm " comes first
  if (line.size() > kMarkAt && line[kMarkAt] == '\xfe') line.replace(kMarkAt, 1, "\xe2\x96\xa0");
  return line;
}

// Appends the line to the log file; a file that does not exist yet is
// created with a "Created log file" line first. Failures are silent.
void AppendToFile(const std::string& name, const std::string& stamp, const std::string& line) {
  int fd = open(name.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  std::string data;
  if (fd < 0) {
    fd = open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    data = ForFile(stamp + "Created log file") + "\n";
  }
  data += ForFile(line);
  data += '\n';
  (void)WriteAll(fd, data);
  close(fd);
}

}  // namespace

std::string SanitizeLogText(const std::string& message) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(message.size());
  for (unsigned char c : message) {
    if (c == '\r' || c == '\n') continue;
    if (c < 32 || c == 127) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string LogTimeStamp(int64_t local_seconds) {
  LocalDateTime t = BreakDownLocal(local_seconds);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d/%02d %02d:%02d \xfe ", t.day, t.month, t.hour, t.minute);
  return buf;
}

namespace {

std::string WriteLogLine(const std::string& message, bool to_console) {
  bool no_stamp = !message.empty() && message[0] == kNoStampMarker;
  std::string text = SanitizeLogText(no_stamp ? message.substr(1) : message);

  std::lock_guard<std::mutex> lock(log_mu);
  log_busy = true;
  std::string stamp = no_stamp ? std::string() : LogTimeStamp(LocalUnixSeconds());
  std::string line;
  if (!message.empty()) line = (stamp + text).substr(0, 255);

  if (to_console) ConsoleLogLine(line);
  std::string file = LogFileName();
  if (!file.empty()) AppendToFile(file, stamp, line);
  log_busy = false;
  return line;
}

}  // namespace

std::string LogMessage(const std::string& message) { return WriteLogLine(message, true); }

void LogToFileOnly(const std::string& message) { (void)WriteLogLine(message, false); }

void SetLogProc(LogRoutine routine) {
  std::lock_guard<std::mutex> lock(proc_mu);
  log_proc = routine ? std::make_shared<LogRoutine>(std::move(routine)) : nullptr;
}

std::string LogProc(const std::string& message) {
  std::shared_ptr<LogRoutine> proc;
  {
    std::lock_guard<std::mutex> lock(proc_mu);
    proc = log_proc;
  }
  return proc ? (*proc)(message) : LogMessage(message);
}

void SetLogFileName(const std::string& name) {
  std::lock_guard<std::mutex> lock(file_name_mu);
  log_file_name = name.substr(0, 255);
}

std::string LogFileName() {
  std::lock_guard<std::mutex> lock(file_name_mu);
  return log_file_name;
}

bool LogBusy() { return log_busy; }

}  // namespace netrove
