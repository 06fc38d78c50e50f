// Programs started without a shell: a command line split into words, run
// with posix_spawn in a process group of its own, with extra environment
// variables and its output appended to a file. The child's whole process
// group is ended when the owner is destroyed while it still runs.
//
// Not thread-safe per object; one owner at a time. Failures are results.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace netrove {

// Splits a command line into words: blanks separate words; '...' quotes
// literally; "..." quotes with backslash escapes; a backslash outside
// quotes escapes the next character. Nullopt on an unclosed quote or a
// line longer than 4096 characters.
std::optional<std::vector<std::string>> SplitCommandLine(std::string_view line);

using EnvironmentList = std::vector<std::pair<std::string, std::string>>;

class ChildProcess {
 public:
  // Starts `argv` (searched on PATH when it has no "/") with the current
  // environment plus `extra_env`, standard input from /dev/null and
  // standard output and error appended to `output_path` (/dev/null when
  // empty). Null when it cannot be started.
  static std::unique_ptr<ChildProcess> Spawn(const std::vector<std::string>& argv,
                                             const EnvironmentList& extra_env,
                                             const std::string& output_path);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Exit status once the process has ended (128 + signal for a signal),
  // nullopt while it runs. Never blocks.
  std::optional<int> Poll();
  // Waits up to `timeout_ms` in steps of 50 ms; stops early (nullopt) when
  // `cancelled` returns true or the current task is asked to stop.
  std::optional<int> Wait(int timeout_ms, const std::function<bool()>& cancelled = nullptr);
  // Sends SIGTERM to the whole process group (also when the child itself
  // has already ended), SIGKILL after `grace_ms` when it has not, and reaps
  // the child. The destructor does this when nobody did.
  void KillGroup(int grace_ms = 2000);

 private:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  pid_t pid_;
  std::optional<int> status_;
  bool reaped_ = false;
};

// Runs a command line to its end, bounded by `timeout_ms` (then the group
// is killed). Returns the exit status, or nullopt when it could not be
// started or did not finish in time.
std::optional<int> RunCommandLine(const std::string& command_line, const EnvironmentList& extra_env,
                                  const std::string& output_path, int timeout_ms);

}  // namespace netrove
