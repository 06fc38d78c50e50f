// Programs and documents of the program lists, started without a shell.
#include "dialer/programs.h"

#include <cstdlib>

#include "runtime/text.h"

namespace netrove {
namespace {

constexpr int kReapIntervalMs = 200;
constexpr int kIdleIntervalMs = 1000;
constexpr size_t kMaxPrograms = 1000;  // started and not yet ended, at most

bool LooksLikeUrl(const std::string& name) {
  return name.find("://") != std::string::npos || UpperAscii(name.substr(0, 7)) == "MAILTO:" ||
         UpperAscii(name.substr(0, 4)) == "WWW.";
}

}  // namespace

bool Programs::IsFile(const std::string& path) {
  std::optional<FileInfo> info = env_.Stat(path);
  return info && !info->is_directory;
}

std::string Programs::FindExecutable(const std::string& name) {
  auto executable = [this](const std::string& path) {
    std::optional<FileInfo> info = env_.Stat(path);
    return info && !info->is_directory && (info->mode & 0111) != 0;
  };
  if (name.empty()) return "";
  if (name.find('/') != std::string::npos) return executable(name) ? name : "";
  if (executable(name)) return "./" + name;  // the program directory
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && executable(dir + "/" + name)) return dir + "/" + name;
    start = end + 1;
  }
  return "";
}

std::optional<ProgramLine> ParseProgramLine(
    const std::string& line, const std::function<bool(const std::string&)>& is_file) {
  ProgramLine out;
  std::string rest = Trim(line);
  if (!rest.empty() && rest[0] == '/') {
    size_t end = rest.find_first_of(" \t");
    std::string word = rest.substr(0, end);
    std::string upper = UpperAscii(word);
    bool option = true;
    if (upper == "/MAX") {
      out.mode = WindowMode::kMaximised;
    } else if (upper == "/M") {
      out.mode = WindowMode::kMinimised;
    } else if (upper == "/R") {
      out.mode = WindowMode::kRestored;
    } else {
      // An absolute path is a program, not an option.
      option = word.find('/', 1) == std::string::npos && !is_file(word);
    }
    if (option) rest = end == std::string::npos ? "" : Trim(rest.substr(end));
  }
  if (rest.empty()) return std::nullopt;
  size_t after;
  if (rest[0] == '"') {
    size_t close = rest.find('"', 1);
    out.program = rest.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    after = close == std::string::npos ? rest.size() : close + 1;
  } else {
    size_t end = rest.find_first_of(" \t");
    out.program = rest.substr(0, end);
    after = end == std::string::npos ? rest.size() : end;
  }
  out.parameters = Trim(rest.substr(after));
  if (out.program.empty()) return std::nullopt;
  return out;
}

std::vector<std::string> SplitArguments(const std::string& parameters) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false, quoted = false;
  for (char c : parameters) {
    if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
    if (words.size() >= kMaxArguments) return words;
  }
  if (in_word) words.push_back(word);
  return words;
}

pid_t Programs::Start(const ProgramLine& line) {
  std::vector<std::string> argv;
  std::string executable = FindExecutable(line.program);
  if (!executable.empty()) {
    argv.push_back(executable);
    for (std::string& a : SplitArguments(line.parameters)) argv.push_back(std::move(a));
  } else if (IsFile(line.program) || LooksLikeUrl(line.program)) {
    std::string opener = FindExecutable("xdg-open");
    if (opener.empty()) return -1;
    // A document name that begins with "-" must not read as an option.
    argv = {opener, line.program[0] == '-' ? "./" + line.program : line.program};
  } else {
    return -1;
  }
  std::unique_ptr<Process> process = env_.Spawn(argv, {}, "", Env::SpawnMode::kDetached);
  if (!process) return -1;
  pid_t pid = process->pid();
  TaskHandle ended;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (started_.size() >= kMaxPrograms) return pid;  // left to end unwatched
    started_.push_back(std::move(process));
    if (reaper_running_) return pid;
    reaper_running_ = true;
    ended = std::move(reaper_);
    reaper_ = tasks_.Start("Program reaper", [this](uint32_t) { return Reap(); });
  }
  Tasks::Stop(ended);  // joins a reaper that was stopped from outside
  return pid;
}

pid_t Programs::Start(const std::string& line) {
  std::optional<ProgramLine> program =
      ParseProgramLine(line, [this](const std::string& path) { return IsFile(path); });
  return program ? Start(*program) : -1;
}

// Stays once started (an idle round costs one wake-up a second); ends only
// when stopped from outside, and Start starts it again then.
uint32_t Programs::Reap() {
  for (;;) {
    bool idle;
    {
      std::lock_guard<std::mutex> lock(mu_);
      std::erase_if(started_, [](const std::unique_ptr<Process>& p) { return p->Poll(); });
      idle = started_.empty();
    }
    if (!TaskSleep(idle ? kIdleIntervalMs : kReapIntervalMs)) {
      std::lock_guard<std::mutex> lock(mu_);
      reaper_running_ = false;
      return 0;
    }
  }
}

size_t Programs::NotReaped() {
  std::lock_guard<std::mutex> lock(mu_);
  return started_.size();
}

Programs::~Programs() {
  TaskHandle reaper;
  {
    std::lock_guard<std::mutex> lock(mu_);
    reaper = std::move(reaper_);
  }
  Tasks::Stop(reaper);
}

}  // namespace netrove
