// The Env of the running program: POSIX files, the system clock, processes
// started with posix_spawn.
#pragma once

#include "runtime/env.h"

namespace netrove {

class PosixEnv final : public Env {
 public:
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
  std::optional<std::string> RealPath(const std::string& path) override;
  int64_t LocalSeconds() override;
  int64_t LocalOffsetAt(int64_t utc_seconds) override;
  int64_t MonotonicMs() override;
  bool Sleep(int64_t ms, std::stop_token stop) override;
  std::unique_ptr<Process> Spawn(const std::vector<std::string>& argv,
                                 const EnvironmentList& extra_env, const std::string& output_path,
                                 SpawnMode mode) override;
  bool Signal(pid_t pid, int signal) override;
};

}  // namespace netrove
