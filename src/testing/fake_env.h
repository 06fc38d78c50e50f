// Env stand-ins for tests: FakeEnv keeps files in memory and runs a
// simulated clock; FaultEnv wraps another Env and makes writes, renames or
// the whole disk fail on cue. Both are thread-safe.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "runtime/env.h"

namespace netrove::testing {

// Files and directories in memory (paths are plain keys: "a" and "./a"
// differ; a file's directory need not exist unless a test makes one and
// asks), and a clock that runs only when told to:
//  - kAuto: a Sleep moves the clock on by its length at once (one thread
//    driving simulated time, as the session controller does);
//  - kManual: a Sleep waits until Advance has moved the clock past its end
//    (or its stop is requested), so a test decides when tasks wake.
// Processes cannot be started (Spawn gives null) unless a test installs a
// spawner.
class FakeEnv : public Env {
 public:
  enum class ClockMode { kAuto, kManual };
  explicit FakeEnv(ClockMode mode = ClockMode::kAuto, int64_t local_seconds = 1772701620);

  // The clock.
  void Advance(int64_t ms);
  void SetLocalSeconds(int64_t local_seconds);
  int64_t now_ms() const { return monotonic_ms_.load(); }
  // Sleeps that are waiting for the clock (kManual).
  int Sleepers() const;

  // Files.
  void PutFile(const std::string& path, std::string data, mode_t mode = 0644);
  std::optional<std::string> FileText(const std::string& path) const;
  std::vector<std::string> Paths() const;
  // Free space of the disk (DiskSpaceOf); writes beyond it fail.
  void SetFreeBytes(uint64_t bytes);
  void SetDiskSize(uint64_t bytes);
  // Last write and last access of a file, in local seconds (the clock's
  // LocalSeconds scale); false when there is no such file.
  bool SetFileTimes(const std::string& path, int64_t write_local_seconds,
                    int64_t access_local_seconds);

  using Spawner = std::function<std::unique_ptr<Process>(const std::vector<std::string>&,
                                                         const EnvironmentList&)>;
  void SetSpawner(Spawner spawner);
  std::vector<std::pair<pid_t, int>> Signals() const;

  std::unique_ptr<WritableFile> OpenForWriting(const std::string& path, OpenMode how,
                                               mode_t mode) override;
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override;
  std::optional<std::string> ReadFile(const std::string& path, size_t limit) override;
  std::optional<FileInfo> Stat(const std::string& path) override;
  bool SetMode(const std::string& path, mode_t mode) override;
  bool RemoveFile(const std::string& path) override;
  bool Rename(const std::string& from, const std::string& to) override;
  bool MakeDirectory(const std::string& path, mode_t mode) override;
  bool RemoveDirectory(const std::string& path) override;
  std::vector<std::string> ListDirectory(const std::string& path, size_t limit) override;
  std::optional<DiskSpace> DiskSpaceOf(const std::string& path) override;
  std::string ReadLink(const std::string& path) override;
  // The path itself, with "./" and "x/.." steps taken out, when a file or
  // directory of that key exists (there are no links).
  std::optional<std::string> RealPath(const std::string& path) override;
  int64_t LocalSeconds() override;
  // No time zone: file times are already on the LocalSeconds scale.
  int64_t LocalOffsetAt(int64_t) override { return 0; }
  int64_t MonotonicMs() override;
  bool Sleep(int64_t ms, std::stop_token stop) override;
  std::unique_ptr<Process> Spawn(const std::vector<std::string>& argv,
                                 const EnvironmentList& extra_env, const std::string& output_path,
                                 SpawnMode mode) override;
  bool Signal(pid_t pid, int signal) override;

 private:
  struct File {
    std::string data;
    mode_t mode = 0644;
    int64_t mtime_ns = 0;
    uint64_t inode = 0;
    int64_t atime_ns = 0;
  };
  friend class FakeFile;
  bool AppendData(const std::string& path, std::string_view data);
  bool WriteData(const std::string& path, uint64_t offset, std::string_view data);
  // Now as a file time: nanoseconds on the LocalSeconds scale, to the
  // millisecond (two writes a millisecond apart differ).
  int64_t NowNsLocked() const {
    return local_base_.load() * 1000000000 + monotonic_ms_.load() * 1000000;
  }
  int64_t LocalSecondsNow() const { return local_base_.load() + monotonic_ms_.load() / 1000; }
  // Caller holds mu_.
  bool IsDirectoryLocked(const std::string& path) const;

  const ClockMode mode_;
  std::atomic<int64_t> monotonic_ms_{0};
  std::atomic<int64_t> local_base_;  // local seconds at monotonic 0
  mutable std::mutex mu_;
  std::condition_variable_any clock_cv_;
  int sleepers_ = 0;                            // guarded by mu_
  std::map<std::string, File> files_;           // guarded by mu_
  std::set<std::string> dirs_;                  // guarded by mu_
  uint64_t next_inode_ = 1;                     // guarded by mu_
  uint64_t free_bytes_ = 1ull << 40;            // guarded by mu_
  uint64_t disk_bytes_ = 1ull << 40;            // guarded by mu_
  Spawner spawner_;                             // guarded by mu_
  std::vector<std::pair<pid_t, int>> signals_;  // guarded by mu_
};

// Passes everything to `base`, but fails on cue, as a full or broken disk
// would: the n-th write (Append) from now, every write and open for
// writing (a full disk, which also reports no free space), or every rename.
class FaultEnv : public Env {
 public:
  explicit FaultEnv(Env& base) : base_(base) {}

  void FailWriteNumber(int n) { fail_write_at_ = writes_.load() + n; }
  void SetDiskFull(bool full) { disk_full_ = full; }
  void FailRenames(bool fail) { fail_renames_ = fail; }
  int Writes() const { return writes_.load(); }
  // Called by its files.
  bool CountWrite();

  std::unique_ptr<WritableFile> OpenForWriting(const std::string& path, OpenMode how,
                                               mode_t mode) override;
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override {
    return base_.OpenForReading(path);
  }
  std::optional<std::string> ReadFile(const std::string& path, size_t limit) override {
    return base_.ReadFile(path, limit);
  }
  std::optional<FileInfo> Stat(const std::string& path) override { return base_.Stat(path); }
  bool SetMode(const std::string& path, mode_t mode) override { return base_.SetMode(path, mode); }
  bool RemoveFile(const std::string& path) override { return base_.RemoveFile(path); }
  bool Rename(const std::string& from, const std::string& to) override {
    return !fail_renames_ && base_.Rename(from, to);
  }
  bool MakeDirectory(const std::string& path, mode_t mode) override {
    return !disk_full_ && base_.MakeDirectory(path, mode);
  }
  bool RemoveDirectory(const std::string& path) override { return base_.RemoveDirectory(path); }
  std::vector<std::string> ListDirectory(const std::string& path, size_t limit) override {
    return base_.ListDirectory(path, limit);
  }
  std::optional<DiskSpace> DiskSpaceOf(const std::string& path) override;
  std::string ReadLink(const std::string& path) override { return base_.ReadLink(path); }
  std::optional<std::string> RealPath(const std::string& path) override {
    return base_.RealPath(path);
  }
  int64_t LocalSeconds() override { return base_.LocalSeconds(); }
  int64_t LocalOffsetAt(int64_t utc_seconds) override { return base_.LocalOffsetAt(utc_seconds); }
  int64_t MonotonicMs() override { return base_.MonotonicMs(); }
  bool Sleep(int64_t ms, std::stop_token stop) override { return base_.Sleep(ms, stop); }
  std::unique_ptr<Process> Spawn(const std::vector<std::string>& argv,
                                 const EnvironmentList& extra_env, const std::string& output_path,
                                 SpawnMode mode) override {
    return base_.Spawn(argv, extra_env, output_path, mode);
  }
  bool Signal(pid_t pid, int signal) override { return base_.Signal(pid, signal); }

 private:
  Env& base_;
  std::atomic<int> writes_{0};
  std::atomic<int> fail_write_at_{-1};
  std::atomic<bool> disk_full_{false};
  std::atomic<bool> fail_renames_{false};
};

}  // namespace netrove::testing
