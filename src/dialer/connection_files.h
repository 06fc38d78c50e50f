// Connections visible to other processes: while a process holds a
// connection it keeps a state file "<entry>.<pid>.conn" in a run
// directory (normally "run" in the program directory) naming its pid, the
// pid's start time, the entry and the device. A file whose process is gone
// (or whose pid now belongs to a different process) is stale and removed
// by whoever reads it.
//
// Functions over an Env; thread-safe. Failures are results (false /
// nothing).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runtime/env.h"

namespace netrove {

struct ConnectionFile {
  pid_t pid = 0;
  uint64_t start_time = 0;  // clock ticks after boot (/proc/<pid>/stat)
  std::string entry, device;
  std::string path;
};

// "<program directory>/run".
std::string ConnectionDirectory();

// Start time of a process; nullopt when there is no such process.
std::optional<uint64_t> ProcessStartTime(Env& env, pid_t pid);
// True when `pid` runs, started at `start_time` and runs the same
// executable as this process (the only processes BREAK may signal).
bool SameProcessAlive(Env& env, pid_t pid, uint64_t start_time);
// The executable of a process (0: this one), "" when it cannot be read.
std::string ProcessExecutable(Env& env, pid_t pid);

// Writes this process's state file for `entry` (mode 0600, creating `dir`
// with mode 0700). Returns the file path, or "" when it could not be
// written.
std::string WriteConnectionFile(Env& env, const std::string& dir, const std::string& entry,
                                const std::string& device);
void RemoveConnectionFile(Env& env, const std::string& path);

// The live state files of processes other than `exclude_pid`, at most
// `limit`; stale files are deleted on the way. Unparsable files are skipped.
std::vector<ConnectionFile> ReadConnectionFiles(Env& env, const std::string& dir, pid_t exclude_pid,
                                                size_t limit);

// Parses the content of a state file (nullopt when malformed).
std::optional<ConnectionFile> ParseConnectionFile(const std::string& text);

}  // namespace netrove
