#include "dialer/connection_files.h"

#include <unistd.h>

#include "runtime/program.h"

namespace netrove {
namespace {

constexpr size_t kMaxStateFile = 4096;
constexpr size_t kMaxDirEntries = 1000;

// Entry names may hold any character; file names keep [A-Za-z0-9_-].
std::string FileNamePart(const std::string& entry) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : entry.substr(0, 64)) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
        c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// A whole non-negative decimal number, or -1.
int64_t ReadCount(const std::string& text) {
  if (text.empty() || text.size() > 18) return -1;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace

std::string ConnectionDirectory() { return ProgramDirectory() + "/run"; }

std::optional<uint64_t> ProcessStartTime(Env& env, pid_t pid) {
  if (pid <= 0) return std::nullopt;
  std::optional<std::string> stat = env.ReadFile("/proc/" + std::to_string(pid) + "/stat", 4096);
  if (!stat) return std::nullopt;
  // The command name may hold spaces and parentheses: fields count from the last ")".
  size_t close = stat->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  size_t pos = close + 1;
  // Field 3 (state) follows; the start time is field 22.
  for (int field = 3; field < 22; ++field) {
    pos = stat->find(' ', pos + 1);
    if (pos == std::string::npos) return std::nullopt;
  }
  int64_t value = ReadCount(stat->substr(pos + 1, stat->find(' ', pos + 1) - pos - 1));
  if (value <= 0) return std::nullopt;
  return static_cast<uint64_t>(value);
}

std::string ProcessExecutable(Env& env, pid_t pid) {
  std::string path =
      env.ReadLink(pid == 0 ? "/proc/self/exe" : "/proc/" + std::to_string(pid) + "/exe");
  // An executable replaced by an update reads as "<path> (deleted)".
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
  return path;
}

bool SameProcessAlive(Env& env, pid_t pid, uint64_t start_time) {
  if (pid <= 0) return false;
  std::optional<uint64_t> started = ProcessStartTime(env, pid);  // none: not running
  if (!started || *started != start_time) return false;
  // Only this program's processes count: a file naming any other process
  // (forged, or left by a pid now reused) must not get it signalled.
  std::string exe = ProcessExecutable(env, pid);
  return !exe.empty() && exe == ProcessExecutable(env, 0);
}

std::optional<ConnectionFile> ParseConnectionFile(const std::string& text) {
  ConnectionFile file;
  size_t pos = 0;
  bool have_pid = false, have_start = false;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    std::string key = line.substr(0, space), value = line.substr(space + 1);
    if (key == "pid") {
      int64_t n = ReadCount(value);
      have_pid = n > 0 && n < (1 << 30);
      file.pid = static_cast<pid_t>(n);
    } else if (key == "start") {
      int64_t n = ReadCount(value);
      have_start = n > 0;
      file.start_time = static_cast<uint64_t>(n);
    } else if (key == "entry") {
      file.entry = value;
    } else if (key == "device") {
      file.device = value;
    }
  }
  if (!have_pid || !have_start || file.entry.empty()) return std::nullopt;
  return file;
}

std::string WriteConnectionFile(Env& env, const std::string& dir, const std::string& entry,
                                const std::string& device) {
  if (!env.MakeDirectory(dir, 0700)) return std::string();
  pid_t pid = getpid();
  std::optional<uint64_t> start = ProcessStartTime(env, pid);
  if (!start) return std::string();
  std::string path = dir + "/" + FileNamePart(entry) + "." + std::to_string(pid) + ".conn";
  std::string text = "pid " + std::to_string(pid) + "\nstart " + std::to_string(*start) +
                     "\nentry " + entry + "\ndevice " + device + "\n";
  return WriteFileAtomically(env, path, text, 0600, false) ? path : std::string();
}

void RemoveConnectionFile(Env& env, const std::string& path) {
  if (!path.empty()) (void)env.RemoveFile(path);
}

std::vector<ConnectionFile> ReadConnectionFiles(Env& env, const std::string& dir, pid_t exclude_pid,
                                                size_t limit) {
  std::vector<ConnectionFile> found;
  for (const std::string& name : env.ListDirectory(dir, kMaxDirEntries)) {
    if (found.size() >= limit) break;
    if (name.size() < 6 || name.compare(name.size() - 5, 5, ".conn") != 0) continue;
    std::string path = dir + "/" + name;
    std::optional<std::string> text = env.ReadFile(path, kMaxStateFile);
    if (!text) continue;
    std::optional<ConnectionFile> file = ParseConnectionFile(*text);
    if (!file) continue;
    if (file->pid == exclude_pid) continue;
    if (!SameProcessAlive(env, file->pid, file->start_time)) {
      (void)env.RemoveFile(path);
      continue;
    }
    file->path = path;
    found.push_back(std::move(*file));
  }
  return found;
}

}  // namespace netrove
