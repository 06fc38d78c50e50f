#include "testing/fake_env.h"

#include <algorithm>

namespace netrove::testing {

// --- FakeEnv

class FakeFile final : public WritableFile {
 public:
  FakeFile(FakeEnv& env, std::string path, bool appends)
      : env_(env), path_(std::move(path)), appends_(appends) {}
  bool Append(std::string_view data) override { return open_ && env_.AppendData(path_, data); }
  bool WriteAt(uint64_t offset, std::string_view data) override {
    return open_ && !appends_ && env_.WriteData(path_, offset, data);
  }
  bool Sync() override { return open_; }
  bool Close() override {
    bool was = open_;
    open_ = false;
    return was;
  }

 private:
  FakeEnv& env_;
  const std::string path_;
  const bool appends_;
  bool open_ = true;
};

class FakeReadable final : public ReadableFile {
 public:
  FakeReadable(std::string data, const FileInfo& info) : data_(std::move(data)), info_(info) {}
  int64_t Read(char* buffer, size_t n) override {
    size_t count = std::min(n, data_.size() - at_);
    std::copy_n(data_.data() + at_, count, buffer);
    at_ += count;
    return static_cast<int64_t>(count);
  }
  FileInfo Info() const override { return info_; }

 private:
  const std::string data_;  // the file as it was when opened
  const FileInfo info_;
  size_t at_ = 0;
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
  f.mtime_ns = f.atime_ns = NowNsLocked();
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

void FakeEnv::SetDiskSize(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  disk_bytes_ = bytes;
}

bool FakeEnv::SetFileTimes(const std::string& path, int64_t write_local_seconds,
                           int64_t access_local_seconds) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = files_.find(path);
  if (it == files_.end()) return false;
  it->second.mtime_ns = write_local_seconds * 1000000000;
  it->second.atime_ns = access_local_seconds * 1000000000;
  return true;
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
  it->second.mtime_ns = NowNsLocked();
  return true;
}

bool FakeEnv::WriteData(const std::string& path, uint64_t offset, std::string_view data) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = files_.find(path);
  if (it == files_.end()) return false;
  std::string& bytes = it->second.data;
  const uint64_t end = offset + data.size();
  if (end > bytes.size()) {
    if (end - bytes.size() > free_bytes_) return false;
    free_bytes_ -= end - bytes.size();
    bytes.resize(end, '\0');
  }
  bytes.replace(offset, data.size(), data);
  it->second.mtime_ns = NowNsLocked();
  return true;
}

bool FakeEnv::IsDirectoryLocked(const std::string& path) const {
  if (dirs_.count(path) > 0) return true;
  const std::string prefix = path + "/";
  auto it = files_.lower_bound(prefix);
  return it != files_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
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
  if (how == OpenMode::kTruncate) {
    free_bytes_ += f.data.size();
    f.data.clear();
  }
  f.mtime_ns = NowNsLocked();
  if (!exists) f.atime_ns = f.mtime_ns;
  return std::make_unique<FakeFile>(*this, path,
                                    how == OpenMode::kAppend || how == OpenMode::kAppendExisting);
}

std::unique_ptr<ReadableFile> FakeEnv::OpenForReading(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = files_.find(path);
  if (it == files_.end()) return nullptr;
  const File& f = it->second;
  return std::make_unique<FakeReadable>(
      f.data, FileInfo{false, f.mode, f.data.size(), f.mtime_ns, f.inode, f.atime_ns});
}

std::optional<std::string> FakeEnv::ReadFile(const std::string& path, size_t limit) {
  std::optional<std::string> text = FileText(path);
  if (text && text->size() > limit) text->resize(limit);
  return text;
}

std::optional<FileInfo> FakeEnv::Stat(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = files_.find(path);
  if (it == files_.end()) {
    if (IsDirectoryLocked(path)) return FileInfo{true, 0755, 0, 0, 0, 0};
    return std::nullopt;
  }
  const File& f = it->second;
  return FileInfo{false, f.mode, f.data.size(), f.mtime_ns, f.inode, f.atime_ns};
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

bool FakeEnv::RemoveDirectory(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  const std::string prefix = path + "/";
  auto inside = [&](const std::string& p) { return p.compare(0, prefix.size(), prefix) == 0; };
  for (const auto& [p, file] : files_)
    if (inside(p)) return false;
  for (const std::string& d : dirs_)
    if (inside(d)) return false;
  dirs_.erase(path);
  return true;
}

// Files and directories directly below `path`; a directory is one made with
// MakeDirectory or one that holds a file.
std::vector<std::string> FakeEnv::ListDirectory(const std::string& path, size_t limit) {
  std::lock_guard<std::mutex> lock(mu_);
  std::string prefix = path == "." || path.empty() ? "" : path + "/";
  std::set<std::string> names;
  auto add = [&](const std::string& p) {
    if (p.compare(0, prefix.size(), prefix) != 0) return;
    std::string rest = p.substr(prefix.size());
    rest = rest.substr(0, rest.find('/'));
    if (!rest.empty() && names.size() < limit) names.insert(rest);
  };
  for (const auto& [p, file] : files_) add(p);
  for (const std::string& d : dirs_) add(d);
  return {names.begin(), names.end()};
}

std::optional<DiskSpace> FakeEnv::DiskSpaceOf(const std::string&) {
  std::lock_guard<std::mutex> lock(mu_);
  return DiskSpace{disk_bytes_, free_bytes_, 0x1234};
}

std::string FakeEnv::ReadLink(const std::string&) { return std::string(); }

std::optional<std::string> FakeEnv::RealPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string normal = path.starts_with('/') ? "/" : "";
  for (size_t i = 0; i < parts.size(); ++i) normal += (i ? "/" : "") + parts[i];
  if (normal.empty() || !Stat(normal)) return std::nullopt;
  return normal;
}

int64_t FakeEnv::LocalSeconds() { return LocalSecondsNow(); }

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
  FaultFile(FaultEnv& env, std::unique_ptr<WritableFile> base)
      : env_(env), base_(std::move(base)) {}
  bool Append(std::string_view data) override { return env_.CountWrite() && base_->Append(data); }
  bool WriteAt(uint64_t offset, std::string_view data) override {
    return env_.CountWrite() && base_->WriteAt(offset, data);
  }
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
