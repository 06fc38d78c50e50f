#include "dialer/programs.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "runtime/tasks.h"
#include "runtime/text.h"

extern char** environ;

namespace netrove {
namespace {

constexpr int kReapIntervalMs = 200;
constexpr int kIdleIntervalMs = 1000;

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsExecutableFile(const std::string& path) {
  return IsFile(path) && access(path.c_str(), X_OK) == 0;
}

// The executable a program name stands for, or "".
std::string FindExecutable(const std::string& name) {
  if (name.empty()) return "";
  if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : "";
  if (IsExecutableFile(name)) return "./" + name;  // the program directory
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (!dir.empty()) {
      std::string candidate = dir + "/" + name;
      if (IsExecutableFile(candidate)) return candidate;
    }
    start = end + 1;
  }
  return "";
}

bool LooksLikeUrl(const std::string& name) {
  return name.find("://") != std::string::npos || UpperAscii(name.substr(0, 7)) == "MAILTO:" ||
         UpperAscii(name.substr(0, 4)) == "WWW.";
}

// Collects the processes started here, and only those.
class Reaper {
 public:
  void Add(pid_t pid) {
    TaskHandle ended;
    {
      std::lock_guard<std::mutex> lock(mu_);
      pids_.push_back(pid);
      if (running_) return;
      running_ = true;
      ended = std::move(task_);
      task_ = StartTask("Program reaper", [this](uint32_t) { return Run(); });
    }
    StopTask(ended);  // joins a reaper that was stopped from outside
  }

  size_t Count() {
    std::lock_guard<std::mutex> lock(mu_);
    return pids_.size();
  }

 private:
  // Stays once started (an idle round costs one wake-up a second); ends
  // only when stopped from outside, and Add starts it again then.
  uint32_t Run() {
    for (;;) {
      bool idle;
      {
        std::lock_guard<std::mutex> lock(mu_);
        for (size_t i = 0; i < pids_.size();) {
          int status = 0;
          pid_t r = waitpid(pids_[i], &status, WNOHANG);
          if (r == pids_[i] || (r < 0 && errno == ECHILD)) {
            pids_[i] = pids_.back();
            pids_.pop_back();
          } else {
            ++i;
          }
        }
        idle = pids_.empty();
      }
      if (!TaskSleep(idle ? kIdleIntervalMs : kReapIntervalMs)) {
        std::lock_guard<std::mutex> lock(mu_);
        running_ = false;
        return 0;
      }
    }
  }

  std::mutex mu_;
  std::vector<pid_t> pids_;
  bool running_ = false;
  TaskHandle task_;
};

Reaper& TheReaper() {
  static Reaper* reaper = new Reaper;  // lives until the process ends
  return *reaper;
}

// posix_spawn attributes and file actions, released on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    ok_ = posix_spawnattr_init(&attr_) == 0;
    if (!ok_) return;
    actions_ok_ = posix_spawn_file_actions_init(&actions_) == 0;
    ok_ = actions_ok_;
    if (!ok_) return;
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGCHLD, SIGTSTP, SIGTTIN, SIGTTOU,
                    SIGUSR1, SIGUSR2, SIGALRM})
      sigaddset(&defaults, sig);
    ok_ = posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
          posix_spawnattr_setsigdefault(&attr_, &defaults) == 0 &&
          posix_spawnattr_setflags(
              &attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID) == 0 &&
          posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
          posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0) == 0 &&
          posix_spawn_file_actions_adddup2(&actions_, 1, 2) == 0 &&
          // Whatever another module forgot to mark close-on-exec.
          posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0;
  }
  ~SpawnSetup() {
    if (actions_ok_) posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  pid_t Spawn(const std::vector<std::string>& argv) {
    if (!ok_ || argv.empty()) return -1;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions_, &attr_, args.data(), environ) != 0) return -1;
    return pid;
  }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
  bool actions_ok_ = false;
};

}  // namespace

std::optional<ProgramLine> ParseProgramLine(const std::string& line) {
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
      option = word.find('/', 1) == std::string::npos && !IsFile(word);
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

pid_t StartProgram(const ProgramLine& line) {
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
  SpawnSetup setup;
  pid_t pid = setup.Spawn(argv);
  if (pid > 0) TheReaper().Add(pid);
  return pid;
}

size_t ProgramsNotReaped() { return TheReaper().Count(); }

}  // namespace netrove
