#include "testing/fake_env.h"

#include <algorithm>

namespace netrove::testing {

// --- FakeEnv

class FakeFile final : public WritableFile {
 public:
  FakeFile(FakeEnv& env, std::string path) : env_(env), path_(std::move(path)) {}
  bool Append(std::string_view data) override { return open_ && env_.AppendData(path_, data); }
  bool Sync() override { return open_; }
  bool Close() override {
    bool was = open_;
    open_ = false;
    return was;
  }

 private:
  FakeEnv& env_;
  const std::string path_;
  bool open_ = true;
};

FakeEnv::FakeEnv(ClockMode mode, int64_t local_seconds) : mode_(mode), local_base_(local_seconds) {}

void FakeEnv::Advance(int64_t ms) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    monotonic_ms_ += ms;
  }
  clock_cv_.notify_all();
}

void FakeEnv::SetLocalSeconds(int64_t local_seconds) {
  local_base_ = local_seconds - monotonic_ms_.load() / 1000;
}

int FakeEnv::Sleepers() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sleepers_;
}

void FakeEnv::PutFile(const std::string& path, std::string data, mode_t mode) {
  std::lock_guard<std::mutex> lock(mu_);
  File& f = files_[path];
  f.data = std::move(data);
  f.mode = mode;
  f.mtime_ns = monotonic_ms_.load() * 1000000;
  f.inode = next_inode_++;
}

std::optional<std::string> FakeEnv::FileText(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = files_.find(path);
  if (it == files_.end()) return std::nullopt;
  return it->second.data;
}

std::vector<std::string> FakeEnv::Paths() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> paths;
  for (const auto& [path, file] : files_) paths.push_back(path);
  return paths;
}

void FakeEnv::SetFreeBytes(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  free_bytes_ = bytes;
}

void FakeEnv::SetSpawner(Spawner spawner) {
  std::lock_guard<std::mutex> lock(mu_);
  spawner_ = std::move(spawner);
}

std::vector<std::pair<pid_t, int>> FakeEnv::Signals() const {
  std::lock_guard<std::mutex> lock(mu_);
  return signals_;
}

bool FakeEnv::AppendData(const std::string& path, std::string_view data) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = files_.find(path);
  if (it == files_.end() || data.size() > free_bytes_) return false;
  free_bytes_ -= data.size();
  it->second.data.append(data);
  it->second.mtime_ns = monotonic_ms_.load() * 1000000;
  return true;
}

std::unique_ptr<WritableFile> FakeEnv::OpenForWriting(const std::string& path, OpenMode how,
                                                      mode_t mode) {
  std::lock_guard<std::mutex> lock(mu_);
  bool exists = files_.count(path) > 0;
  if ((how == OpenMode::kAppendExisting && !exists) || (how == OpenMode::kCreateOnly && exists) ||
      dirs_.count(path) > 0)
    return nullptr;
  File& f = files_[path];
  if (!exists) {
    f.mode = mode;
    f.inode = next_inode_++;
  }
  if (how == OpenMode::kTruncate) f.data.clear();
  f.mtime_ns = monotonic_ms_.load() * 1000000;
  return std::make_unique<FakeFile>(*this, path);
}

std::optional<std::string> FakeEnv::ReadFile(const std::string& path, size_t limit) {
  std::optional<std::string> text = FileText(path);
  if (text && text->size() > limit) text->resize(limit);
  return text;
}

std::optional<FileInfo> FakeEnv::Stat(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  if (dirs_.count(path) > 0) return FileInfo{true, 0755, 0, 0, 0};
  auto it = files_.find(path);
  if (it == files_.end()) return std::nullopt;
  const File& f = it->second;
  return FileInfo{false, f.mode, f.data.size(), f.mtime_ns, f.inode};
}

bool FakeEnv::SetMode(const std::string& path, mode_t mode) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = files_.find(path);
  if (it == files_.end()) return false;
  it->second.mode = mode & 07777;
  return true;
}

bool FakeEnv::RemoveFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  if (auto it = files_.find(path); it != files_.end()) {
    free_bytes_ += it->second.data.size();
    files_.erase(it);
  }
  return true;
}

bool FakeEnv::Rename(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = files_.find(from);
  if (it == files_.end() || dirs_.count(to) > 0) return false;
  File moved = std::move(it->second);
  files_.erase(it);
  files_[to] = std::move(moved);
  return true;
}

bool FakeEnv::MakeDirectory(const std::string& path, mode_t) {
  std::lock_guard<std::mutex> lock(mu_);
  if (files_.count(path) > 0) return false;
  dirs_.insert(path);
  return true;
}

std::vector<std::string> FakeEnv::ListDirectory(const std::string& path, size_t limit) {
  std::lock_guard<std::mutex> lock(mu_);
  std::string prefix = path == "." || path.empty() ? "" : path + "/";
  std::vector<std::string> names;
  for (const auto& [p, file] : files_) {
    if (p.compare(0, prefix.size(), prefix) != 0) continue;
    std::string rest = p.substr(prefix.size());
    if (rest.empty() || rest.find('/') != std::string::npos) continue;
    if (names.size() >= limit) break;
    names.push_back(rest);
  }
  return names;
}

std::optional<DiskSpace> FakeEnv::DiskSpaceOf(const std::string&) {
  std::lock_guard<std::mutex> lock(mu_);
  return DiskSpace{1ull << 40, free_bytes_, 0x1234};
}

std::string FakeEnv::ReadLink(const std::string&) { return std::string(); }

int64_t FakeEnv::LocalSeconds() { return local_base_.load() + monotonic_ms_.load() / 1000; }

int64_t FakeEnv::MonotonicMs() { return monotonic_ms_.load(); }

bool FakeEnv::Sleep(int64_t ms, std::stop_token stop) {
  if (stop.stop_requested()) return false;
  if (mode_ == ClockMode::kAuto) {
    monotonic_ms_ += std::max<int64_t>(ms, 0);
    return true;
  }
  std::unique_lock<std::mutex> lock(mu_);
  const int64_t end = monotonic_ms_.load() + ms;
  ++sleepers_;
  clock_cv_.wait(lock, stop, [&] { return monotonic_ms_.load() >= end; });
  --sleepers_;
  return !stop.stop_requested();
}

std::unique_ptr<Process> FakeEnv::Spawn(const std::vector<std::string>& argv,
                                        const EnvironmentList& extra_env, const std::string&,
                                        SpawnMode) {
  Spawner spawner;
  {
    std::lock_guard<std::mutex> lock(mu_);
    spawner = spawner_;
  }
  return spawner ? spawner(argv, extra_env) : nullptr;
}

bool FakeEnv::Signal(pid_t pid, int signal) {
  std::lock_guard<std::mutex> lock(mu_);
  signals_.emplace_back(pid, signal);
  return true;
}

// --- FaultEnv

namespace {

class FaultFile final : public WritableFile {
 public:
  FaultFile(FaultEnv& env, std::unique_ptr<WritableFile> base) : env_(env), base_(std::move(base)) {}
  bool Append(std::string_view data) override { return env_.CountWrite() && base_->Append(data); }
  bool Sync() override { return base_->Sync(); }
  bool Close() override { return base_->Close(); }

 private:
  FaultEnv& env_;
  std::unique_ptr<WritableFile> base_;
};

}  // namespace

bool FaultEnv::CountWrite() {
  int n = writes_.fetch_add(1);
  return !disk_full_ && n != fail_write_at_.load();
}

std::unique_ptr<WritableFile> FaultEnv::OpenForWriting(const std::string& path, OpenMode how,
                                                       mode_t mode) {
  if (disk_full_) return nullptr;
  std::unique_ptr<WritableFile> base = base_.OpenForWriting(path, how, mode);
  if (!base) return nullptr;
  return std::make_unique<FaultFile>(*this, std::move(base));
}

std::optional<DiskSpace> FaultEnv::DiskSpaceOf(const std::string& path) {
  std::optional<DiskSpace> space = base_.DiskSpaceOf(path);
  if (space && disk_full_) space->free_bytes = 0;
  return space;
}

}  // namespace netrove::testing
