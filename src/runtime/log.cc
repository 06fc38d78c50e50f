#include "runtime/log.h"

#include <cstdio>

#include "runtime/clock.h"

namespace netrove {
namespace {

// The time stamp's mark is byte 254 ("■" in the console's old code page);
// the file gets it as UTF-8, so that text tools take the log for text.
std::string ForFile(std::string line) {
  constexpr size_t kMarkAt = 12;  // "dd/mm hh:mm " comes first
  if (line.size() > kMarkAt && line[kMarkAt] == '\xfe') line.replace(kMarkAt, 1, "\xe2\x96\xa0");
  return line;
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

std::string Log::WriteLine(const std::string& message, bool to_console) {
  bool no_stamp = !message.empty() && message[0] == kNoStampMarker;
  std::string text = SanitizeLogText(no_stamp ? message.substr(1) : message);

  std::lock_guard<std::mutex> lock(line_mu_);
  busy_ = true;
  std::string stamp = no_stamp ? std::string() : LogTimeStamp(env_.LocalSeconds());
  std::string line;
  if (!message.empty()) line = (stamp + text).substr(0, 255);

  if (to_console) console_.LogLine(line);
  std::string file = FileName();
  if (!file.empty()) {
    // A file that does not exist yet starts with "Created log file".
    // Failures are silent: the log must never stop the program.
    (void)AppendToFile(env_, file, ForFile(line) + "\n", 0644,
                       ForFile(stamp + "Created log file") + "\n");
  }
  busy_ = false;
  return line;
}

std::string Log::Message(const std::string& message) { return WriteLine(message, true); }

void Log::ToFileOnly(const std::string& message) { (void)WriteLine(message, false); }

std::string Log::Routine(const std::string& message) {
  std::shared_ptr<LogRoutine> routine;
  {
    std::lock_guard<std::mutex> lock(mu_);
    routine = routine_;
  }
  return routine ? (*routine)(message) : Message(message);
}

void Log::SetRoutine(LogRoutine routine) {
  std::lock_guard<std::mutex> lock(mu_);
  routine_ = routine ? std::make_shared<LogRoutine>(std::move(routine)) : nullptr;
}

void Log::SetFileName(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  file_name_ = name.substr(0, 255);
}

std::string Log::FileName() const {
  std::lock_guard<std::mutex> lock(mu_);
  return file_name_;
}

}  // namespace netrove
