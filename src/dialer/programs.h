// Command lines that start programs or open documents.
//
// A line is "[/MAX|/M|/R] program [parameters]". The program is started
// directly (posix_spawn, never through a shell, so parameters are never
// interpreted): an executable file named by a path, found in the working
// directory or on PATH. Anything else that exists as a file, or looks like
// a URL, is handed to xdg-open when that is installed.
//
// Started programs get /dev/null as standard input and output, no other
// descriptor of this process, default signal handling and a session of
// their own (Env::SpawnMode::kDetached). A "Program reaper" task, started
// with the first program, collects them as they end (only the processes
// started here), so none is left as a zombie.
//
// Thread-safe. Failures are results: -1, never an exception or a message.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "runtime/env.h"
#include "runtime/tasks.h"

namespace netrove {

// The window mode of the option word. Terminal programs have no window;
// the mode is kept for a front-end that has one.
enum class WindowMode { kNormal, kMaximised, kMinimised, kRestored };

struct ProgramLine {
  WindowMode mode = WindowMode::kNormal;
  std::string program;     // without the quotes
  std::string parameters;  // trimmed, as written
};

// Splits a command line. A leading option word ("/MAX", "/M", "/R", any
// case; another "/" word without a further "/" for which `is_file` is
// false is dropped) is removed; a program name in double quotes may hold
// blanks. nullopt when no program name is left.
std::optional<ProgramLine> ParseProgramLine(const std::string& line,
                                            const std::function<bool(const std::string&)>& is_file);

// Parameter words: separated by blanks, double quotes group (and are
// removed). At most kMaxArguments words are kept.
inline constexpr size_t kMaxArguments = 256;
std::vector<std::string> SplitArguments(const std::string& parameters);

class Programs {
 public:
  Programs(Env& env, Tasks& tasks) : env_(env), tasks_(tasks) {}
  ~Programs();
  Programs(const Programs&) = delete;
  Programs& operator=(const Programs&) = delete;

  // Starts the program of a line; its process id, or -1 when nothing could
  // be started.
  pid_t Start(const std::string& line);
  pid_t Start(const ProgramLine& line);
  // Started programs that have not been collected yet.
  size_t NotReaped();

 private:
  bool IsFile(const std::string& path);
  std::string FindExecutable(const std::string& name);
  uint32_t Reap();

  Env& env_;
  Tasks& tasks_;
  std::mutex mu_;
  std::vector<std::unique_ptr<Process>> started_;  // guarded by mu_
  bool reaper_running_ = false;                    // guarded by mu_
  TaskHandle reaper_;                              // guarded by mu_
};

}  // namespace netrove
