// The platform under the program: files, the clock and processes. Every
// module reaches them through the Env its owner hands it, so tests run the
// same code against an in-memory fake with a simulated clock, or against a
// wrapper that makes writes, renames or the whole disk fail
// (testing/fake_env.h).
//
// Paths are used as given: relative ones resolve against the working
// directory, which is the program directory once the configuration is
// loaded. Failures are results (false, nullopt, null), never exceptions.
// Every implementation is thread-safe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace netrove {

struct FileInfo {
  bool is_directory = false;
  mode_t mode = 0;  // permission bits (07777)
  uint64_t size = 0;
  int64_t mtime_ns = 0;
  uint64_t inode = 0;
  int64_t atime_ns = 0;
  bool operator==(const FileInfo&) const = default;
};

struct DiskSpace {
  uint64_t total_bytes = 0;
  uint64_t free_bytes = 0;  // available to this user
  uint64_t file_system_id = 0;
};

// A file open for writing. Destroying it closes it.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  [[nodiscard]] virtual bool Append(std::string_view data) = 0;
  // Overwrites bytes at `offset` (a header field written last); the
  // position of the next Append does not move. False on a file opened with
  // kAppend or kAppendExisting (its writes go to the end whatever the
  // offset).
  [[nodiscard]] virtual bool WriteAt(uint64_t offset, std::string_view data) = 0;
  // Flushes to the disk (fsync).
  [[nodiscard]] virtual bool Sync() = 0;
  [[nodiscard]] virtual bool Close() = 0;
};

// A file open for reading, from its start. Destroying it closes it.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Up to `n` bytes into `buffer`: the count, 0 at the end, -1 on an error.
  virtual int64_t Read(char* buffer, size_t n) = 0;
  // The file as it was when opened.
  virtual FileInfo Info() const = 0;
};

// A started program. Destroying the object ends its process group unless
// it was started detached or has been reaped.
class Process {
 public:
  virtual ~Process() = default;
  virtual pid_t pid() const = 0;
  // Exit status once ended (128 + signal for a signal), nullopt while it
  // runs. Never blocks. A detached process is reaped by the call that
  // sees it end.
  virtual std::optional<int> Poll() = 0;
  // SIGTERM to the group, SIGKILL after `grace_ms`, then reaps.
  virtual void KillGroup(int grace_ms = 2000) = 0;
};

using EnvironmentList = std::vector<std::pair<std::string, std::string>>;

class Env {
 public:
  virtual ~Env() = default;

  // --- Files.
  // kTruncate and kAppend create a missing file with `mode`; kAppendExisting
  // fails when the file is missing, kCreateOnly when it exists.
  enum class OpenMode { kTruncate, kAppend, kAppendExisting, kCreateOnly };
  // Null on failure.
  virtual std::unique_ptr<WritableFile> OpenForWriting(const std::string& path, OpenMode how,
                                                       mode_t mode) = 0;
  // Null when the file cannot be opened or is a directory.
  virtual std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) = 0;
  // The whole file, at most `limit` bytes of it.
  virtual std::optional<std::string> ReadFile(const std::string& path, size_t limit) = 0;
  virtual std::optional<FileInfo> Stat(const std::string& path) = 0;
  [[nodiscard]] virtual bool SetMode(const std::string& path, mode_t mode) = 0;
  // True when the file is gone afterwards (also when it never was).
  [[nodiscard]] virtual bool RemoveFile(const std::string& path) = 0;
  [[nodiscard]] virtual bool Rename(const std::string& from, const std::string& to) = 0;
  // True when the directory exists afterwards.
  [[nodiscard]] virtual bool MakeDirectory(const std::string& path, mode_t mode) = 0;
  // True when the directory is gone afterwards; false when it is not empty.
  [[nodiscard]] virtual bool RemoveDirectory(const std::string& path) = 0;
  // Names in a directory ("." and ".." left out), at most `limit`.
  virtual std::vector<std::string> ListDirectory(const std::string& path, size_t limit) = 0;
  virtual std::optional<DiskSpace> DiskSpaceOf(const std::string& path) = 0;
  // Where a symbolic link points ("" when it is none).
  virtual std::string ReadLink(const std::string& path) = 0;
  // The absolute path of an existing file or directory with every
  // symbolic link, "." and ".." resolved; nullopt when it does not exist.
  virtual std::optional<std::string> RealPath(const std::string& path) = 0;

  // --- The clock.
  // Seconds since 1970-01-01 00:00 local time (UTC plus the local offset,
  // daylight saving included).
  virtual int64_t LocalSeconds() = 0;
  // The local offset (seconds east of UTC, daylight saving included) at a
  // UTC moment: FileInfo times are UTC, day stamps are local.
  virtual int64_t LocalOffsetAt(int64_t utc_seconds) = 0;
  // Milliseconds of a clock that never goes back.
  virtual int64_t MonotonicMs() = 0;
  // Waits `ms` milliseconds of MonotonicMs; false (at once) when `stop` is
  // requested first. A simulated clock may let the wait pass without real
  // time.
  virtual bool Sleep(int64_t ms, std::stop_token stop) = 0;

  // --- Processes.
  // Starts `argv` (searched on PATH when it has no "/") with the current
  // environment plus `extra_env`, standard input from /dev/null, standard
  // output and error appended to `output_path` (/dev/null when empty),
  // default signal handling and no other descriptor. kOwnedGroup: in a
  // process group of its own that ends with the Process object (dial
  // commands); kDetached: in a session of its own, never ended by us, the
  // object only collects it (programs of the program lists). Null when it
  // cannot be started.
  enum class SpawnMode { kOwnedGroup, kDetached };
  virtual std::unique_ptr<Process> Spawn(const std::vector<std::string>& argv,
                                         const EnvironmentList& extra_env,
                                         const std::string& output_path,
                                         SpawnMode mode = SpawnMode::kOwnedGroup) = 0;
  // kill(2); false when it failed.
  virtual bool Signal(pid_t pid, int signal) = 0;
};

// --- Helpers over any Env.

// "<pid>.<n>", different at every call in this process: the end of the
// name of a temporary file, so that two tasks writing the same file never
// share one.
std::string UniqueTemporarySuffix();

// Writes `data` to a temporary file beside `path` and renames it over
// `path`, so a crash or a full disk never leaves half a file. The new file
// gets `mode`, or the mode of the file it replaces when `keep_mode` is set
// and the file exists. False (and `path` untouched, no temporary file left)
// on any failure.
[[nodiscard]] bool WriteFileAtomically(Env& env, const std::string& path, std::string_view data,
                                       mode_t mode = 0644, bool keep_mode = true);
// Appends to a file, creating it with `mode`; a file made now gets
// `first_if_created` before `data`.
[[nodiscard]] bool AppendToFile(Env& env, const std::string& path, std::string_view data,
                                mode_t mode = 0644, std::string_view first_if_created = {});
// An empty file (a flag file); an existing one is left as it is.
[[nodiscard]] bool TouchFile(Env& env, const std::string& path, mode_t mode = 0644);
bool FileExists(Env& env, const std::string& path);
// Reads exactly `n` bytes; false when the file ends or fails first.
[[nodiscard]] bool ReadFully(ReadableFile& file, char* buffer, size_t n);

// Runs a command line (split by SplitCommandLine, no shell) to its end,
// bounded by `timeout_ms` (then its group is killed); stops early when the
// calling task is asked to stop. The exit status, or nullopt when it could
// not be started or did not finish.
std::optional<int> RunCommandLine(Env& env, const std::string& command_line,
                                  const EnvironmentList& extra_env, const std::string& output_path,
                                  int timeout_ms);

// Splits a command line into words: blanks separate words; '...' quotes
// literally; "..." quotes with backslash escapes; a backslash outside
// quotes escapes the next character. Nullopt on an unclosed quote or a
// line longer than 4096 characters.
std::optional<std::vector<std::string>> SplitCommandLine(std::string_view line);

}  // namespace netrove
