#include "dialer/autodial.h"

#include <dlfcn.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <vector>

#include "dialer/connection_files.h"
#include "dialer/phonebook.h"
#include "runtime/tasks.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr size_t kMaxMarkerSize = 256;

// "[name]" of a phonebook line, trimmed as the reader trims it.
std::optional<std::string> HeaderName(std::string_view raw) {
  std::string line = Trim(raw, " \t\r");
  if (line.empty() || line[0] != '[') return std::nullopt;
  size_t close = line.find(']');
  if (close == std::string::npos) return std::string();
  return Trim(std::string_view(line).substr(1, close - 1), " \t");
}

std::string KeyOf(std::string_view raw) {
  std::string line = Trim(raw, " \t\r");
  if (line.empty() || line[0] == ';' || line[0] == '#') return std::string();
  return UpperAscii(line.substr(0, line.find_first_of(" \t=")));
}

}  // namespace

std::string BusyMarkerPath(const std::string& dir, const std::string& name) {
  return dir + "/netrove." + name + ".busy";
}

bool WriteBusyMarker(Env& env, const std::string& path, pid_t pid) {
  std::optional<uint64_t> start = ProcessStartTime(env, pid);
  if (!start) return false;
  return WriteFileAtomically(env, path, std::to_string(pid) + " " + std::to_string(*start) + "\n",
                             0644, false);
}

MarkerState CheckBusyMarker(Env& env, const std::string& path) {
  std::optional<std::string> text = env.ReadFile(path, kMaxMarkerSize);
  if (!text) return FileExists(env, path) ? MarkerState::kAlive : MarkerState::kAbsent;
  // "pid start": anything else names no process, and only its existence counts.
  int64_t pid = 0;
  uint64_t start = 0;
  const char* p = text->data();
  const char* end = p + text->size();
  auto [after_pid, e1] = std::from_chars(p, end, pid);
  if (e1 != std::errc() || after_pid == end || *after_pid != ' ') return MarkerState::kAlive;
  auto [after_start, e2] = std::from_chars(after_pid + 1, end, start);
  if (e2 != std::errc() || pid <= 0 || pid > INT32_MAX || start == 0) return MarkerState::kAlive;
  std::optional<uint64_t> now = ProcessStartTime(env, static_cast<pid_t>(pid));
  if (now && *now == start) return MarkerState::kAlive;
  (void)env.RemoveFile(path);
  return MarkerState::kStale;
}

std::optional<std::string> SetAutoDialFields(std::string_view text, std::string_view entry,
                                             const std::string& library,
                                             const std::string& function) {
  std::vector<std::string> lines;
  bool final_newline = text.empty() || text.back() == '\n';
  while (!text.empty()) {
    size_t end = text.find('\n');
    lines.emplace_back(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  // The section: from its header to the next header.
  std::string wanted = UpperAscii(entry);
  size_t begin = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    std::optional<std::string> name = HeaderName(lines[i]);
    if (name && UpperAscii(*name) == wanted) {
      begin = i + 1;
      break;
    }
  }
  if (begin == lines.size() && (lines.empty() || !HeaderName(lines.back()) ||
                                UpperAscii(*HeaderName(lines.back())) != wanted)) {
    return std::nullopt;
  }
  size_t end = begin;
  while (end < lines.size() && !HeaderName(lines[end])) ++end;

  const std::pair<const char*, const std::string*> fields[] = {{"AutoDialLibrary", &library},
                                                               {"AutoDialFunction", &function}};
  std::vector<std::string> out(lines.begin(), lines.begin() + static_cast<ptrdiff_t>(begin));
  bool written[2] = {false, false};
  for (size_t i = begin; i < end; ++i) {
    std::string key = KeyOf(lines[i]);
    int field = key == "AUTODIALLIBRARY" ? 0 : key == "AUTODIALFUNCTION" ? 1 : -1;
    if (field < 0) {
      out.push_back(lines[i]);
      continue;
    }
    // The first line of a field takes the value; repeats and cleared fields go.
    if (!written[field] && !fields[field].second->empty()) {
      out.push_back(std::string(fields[field].first) + " " + *fields[field].second);
    }
    written[field] = true;
  }
  size_t tail = out.size();
  while (tail > begin && Trim(out[tail - 1], " \t\r").empty()) --tail;
  std::vector<std::string> added;
  for (int f = 0; f < 2; ++f) {
    if (!written[f] && !fields[f].second->empty()) {
      added.push_back(std::string(fields[f].first) + " " + *fields[f].second);
    }
  }
  out.insert(out.begin() + static_cast<ptrdiff_t>(tail), added.begin(), added.end());
  out.insert(out.end(), lines.begin() + static_cast<ptrdiff_t>(end), lines.end());
  std::string result;
  for (size_t i = 0; i < out.size(); ++i) {
    result += out[i];
    if (i + 1 < out.size() || final_newline || !added.empty()) result += '\n';
  }
  return result;
}

int WriteAutoDialFields(Env& env, const std::string& phonebook_path, const std::string& entry,
                        const std::string& library, const std::string& function) {
  if (!ValidPhonebookValue(library) || !ValidPhonebookValue(function)) return -1;
  std::optional<std::string> text = env.ReadFile(phonebook_path, kMaxPhonebookBytes + 1);
  if (!text || text->size() > kMaxPhonebookBytes) return -1;
  std::optional<std::string> changed = SetAutoDialFields(*text, entry, library, function);
  if (!changed) return kErrorCannotFindEntry;
  if (*changed == *text) return 0;
  return WriteFileAtomically(env, phonebook_path, *changed, 0600, /*keep_mode=*/true) ? 0 : -1;
}

std::string OwnLibraryPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnLibraryPath), &info) == 0 || info.dli_fname == nullptr) {
    return std::string();
  }
  std::string path = info.dli_fname;
  if (!path.empty() && path[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) path = std::string(cwd) + "/" + path;
  }
  return path;
}

std::string FrontEndFor(Env& env, const std::string& library_dir) {
  const std::string beside = library_dir + "/" + kFrontEndName;
  if (FileExists(env, beside)) return beside;
  return library_dir + "/../../bin/" + kFrontEndName;
}

bool RunAutoDialHandler(Env& env, RemoteAccess& ras, const AutoDialOptions& options,
                        std::string name) {
  // A connection that is up needs no dial (asked twice, as the layer may
  // be slow to list a connection that has just come up).
  for (int i = 0; i < 2; ++i) {
    std::vector<ConnectionInfo> active;
    if (ras.EnumConnections(active) == 0 && !active.empty()) return true;
  }
  const std::string& dir = options.state_dir;
  if (std::optional<std::string> text = env.ReadFile(dir + "/" + kAutoDialHandlerFile, 4096)) {
    std::string first = Trim(text->substr(0, text->find('\n')), " \t\r");
    if (!first.empty()) name = first;
  }
  if (name.empty() || name.find('/') != std::string::npos) return true;
  const std::string marker = BusyMarkerPath(dir, name);
  if (CheckBusyMarker(env, marker) == MarkerState::kAlive) return true;
  // The marker names this process until the program takes it over.
  if (!WriteBusyMarker(env, marker, getpid())) return true;
  std::unique_ptr<Process> program =
      env.Spawn({options.front_end, name, "AUTODIAL"}, {}, "", Env::SpawnMode::kDetached);
  if (!program) {
    (void)env.RemoveFile(marker);
    return false;
  }
  // The marker names the program now, so that its death without the exit
  // procedure leaves a stale marker rather than one that blocks.
  (void)WriteBusyMarker(env, marker, program->pid());
  for (;;) {
    (void)program->Poll();  // reaps it once it has ended: a zombie would look alive
    if (CheckBusyMarker(env, marker) != MarkerState::kAlive) return true;
    if (!TaskSleep(options.poll_ms)) return true;
  }
}

}  // namespace netrove
