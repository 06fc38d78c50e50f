#include "dialer/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <thread>

#include "runtime/tasks.h"

extern char** environ;

namespace netrove {

std::optional<std::vector<std::string>> SplitCommandLine(std::string_view line) {
  if (line.size() > 4096) return std::nullopt;
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else if (c == '\'') {
      size_t close = line.find('\'', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      word.append(line.substr(i + 1, close - i - 1));
      i = close;
      in_word = true;
    } else if (c == '"') {
      in_word = true;
      for (++i;; ++i) {
        if (i >= line.size()) return std::nullopt;
        if (line[i] == '"') break;
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        word += line[i];
      }
    } else if (c == '\\' && i + 1 < line.size()) {
      word += line[++i];
      in_word = true;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::unique_ptr<ChildProcess> ChildProcess::Spawn(const std::vector<std::string>& argv,
                                                  const EnvironmentList& extra_env,
                                                  const std::string& output_path) {
  if (argv.empty() || argv[0].empty()) return nullptr;
  std::map<std::string, std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : extra_env) env[k] = v;
  std::vector<std::string> env_text;
  for (const auto& [k, v] : env) env_text.push_back(k + "=" + v);
  std::vector<char*> envp, args;
  for (std::string& s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (std::string& s : argv_copy) args.push_back(s.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  std::string out = output_path.empty() ? "/dev/null" : output_path;
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGUSR1, SIGUSR2, SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD})
    sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0 || pid <= 0) return nullptr;
  return std::unique_ptr<ChildProcess>(new ChildProcess(pid));
}

ChildProcess::~ChildProcess() {
  if (!reaped_) KillGroup(500);
}

// The child is only observed here, not reaped: while it is a zombie its
// pid (and so its process group id) cannot be reused, so signalling the
// group stays safe until KillGroup reaps it.
std::optional<int> ChildProcess::Poll() {
  if (status_) return status_;
  siginfo_t info{};
  int r;
  do {
    r = waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    status_ = 127;  // nothing left to wait for
    reaped_ = true;
  } else if (info.si_pid != 0) {
    status_ = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
  }
  return status_;
}

std::optional<int> ChildProcess::Wait(int timeout_ms, const std::function<bool()>& cancelled) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (std::optional<int> s = Poll()) return s;
    if (cancelled && cancelled()) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    if (!TaskSleep(50)) return std::nullopt;
  }
}

void ChildProcess::KillGroup(int grace_ms) {
  if (reaped_) return;
  kill(-pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(grace_ms);
  while (!Poll() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (!Poll()) kill(-pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  if (!status_) status_ = 128 + SIGKILL;
  reaped_ = true;
}

std::optional<int> RunCommandLine(const std::string& command_line, const EnvironmentList& extra_env,
                                  const std::string& output_path, int timeout_ms) {
  std::optional<std::vector<std::string>> words = SplitCommandLine(command_line);
  if (!words || words->empty()) return std::nullopt;
  std::unique_ptr<ChildProcess> child = ChildProcess::Spawn(*words, extra_env, output_path);
  if (!child) return std::nullopt;
  std::optional<int> status = child->Wait(timeout_ms);
  if (!status) child->KillGroup(1000);
  return status;
}

}  // namespace netrove
