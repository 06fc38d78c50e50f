#include "runtime/env_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

#include "runtime/files.h"

extern char** environ;

namespace netrove {
namespace {

class PosixFile final : public WritableFile {
 public:
  PosixFile(int fd, bool appends) : fd_(fd), appends_(appends) {}
  bool Append(std::string_view data) override { return WriteAll(fd_.get(), data); }
  bool WriteAt(uint64_t offset, std::string_view data) override {
    if (appends_) return false;
    while (!data.empty()) {
      ssize_t n = pwrite(fd_.get(), data.data(), data.size(), static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data.remove_prefix(static_cast<size_t>(n));
      offset += static_cast<uint64_t>(n);
    }
    return true;
  }
  bool Sync() override { return fsync(fd_.get()) == 0; }
  bool Close() override { return fd_.Reset(); }

 private:
  UniqueFd fd_;
  const bool appends_;
};

FileInfo InfoOf(const struct stat& st) {
  FileInfo info;
  info.is_directory = S_ISDIR(st.st_mode);
  info.mode = st.st_mode & 07777;
  info.size = static_cast<uint64_t>(st.st_size);
  info.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  info.inode = st.st_ino;
  info.atime_ns = static_cast<int64_t>(st.st_atim.tv_sec) * 1000000000 + st.st_atim.tv_nsec;
  return info;
}

class PosixReadableFile final : public ReadableFile {
 public:
  PosixReadableFile(UniqueFd fd, const FileInfo& info) : fd_(std::move(fd)), info_(info) {}
  int64_t Read(char* buffer, size_t n) override {
    for (;;) {
      ssize_t got = read(fd_.get(), buffer, n);
      if (got < 0 && errno == EINTR) continue;
      return got;
    }
  }
  FileInfo Info() const override { return info_; }

 private:
  UniqueFd fd_;
  const FileInfo info_;
};

// The child is only observed, not reaped, until KillGroup: while it is a
// zombie its pid (and so its process group id) cannot be reused, so
// signalling the group stays safe.
class PosixProcess final : public Process {
 public:
  PosixProcess(pid_t pid, bool detached) : pid_(pid), detached_(detached) {}
  ~PosixProcess() override {
    if (!reaped_ && !detached_) KillGroup(500);
  }
  pid_t pid() const override { return pid_; }

  std::optional<int> Poll() override {
    if (status_) return status_;
    siginfo_t info{};
    int r;
    const int keep = detached_ ? 0 : WNOWAIT;
    do {
      r = waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | keep);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
      status_ = 127;  // nothing left to wait for
      reaped_ = true;
    } else if (info.si_pid != 0) {
      status_ = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
      reaped_ = detached_;
    }
    return status_;
  }

  void KillGroup(int grace_ms) override {
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

 private:
  const pid_t pid_;
  const bool detached_;
  std::optional<int> status_;
  bool reaped_ = false;
};

// posix_spawn's attributes and file actions, released on every path.
struct SpawnSetup {
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
};

std::vector<std::string> EnvironmentWith(const EnvironmentList& extra) {
  std::map<std::string, std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : extra) env[k] = v;
  std::vector<std::string> text;
  for (const auto& [k, v] : env) text.push_back(k + "=" + v);
  return text;
}

}  // namespace

std::unique_ptr<WritableFile> PosixEnv::OpenForWriting(const std::string& path, OpenMode how,
                                                       mode_t mode) {
  int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY;
  if (how == OpenMode::kTruncate) flags |= O_CREAT | O_TRUNC;
  if (how == OpenMode::kAppend) flags |= O_CREAT | O_APPEND;
  if (how == OpenMode::kAppendExisting) flags |= O_APPEND;
  // Not O_APPEND: pwrite would append too (WriteAt); a new file's offset
  // is its end as long as only Append moves it.
  if (how == OpenMode::kCreateOnly) flags |= O_CREAT | O_EXCL;
  int fd = open(path.c_str(), flags, mode);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixFile>(fd,
                                     how == OpenMode::kAppend || how == OpenMode::kAppendExisting);
}

std::unique_ptr<ReadableFile> PosixEnv::OpenForReading(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) return nullptr;
  return std::make_unique<PosixReadableFile>(std::move(fd), InfoOf(st));
}

std::optional<std::string> PosixEnv::ReadFile(const std::string& path, size_t limit) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
    if (data.size() >= limit) {
      data.resize(limit);
      break;
    }
  }
  return data;
}

std::optional<FileInfo> PosixEnv::Stat(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return InfoOf(st);
}

bool PosixEnv::SetMode(const std::string& path, mode_t mode) {
  return chmod(path.c_str(), mode) == 0;
}

bool PosixEnv::RemoveFile(const std::string& path) {
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool PosixEnv::Rename(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

bool PosixEnv::MakeDirectory(const std::string& path, mode_t mode) {
  if (mkdir(path.c_str(), mode) == 0) return true;
  struct stat st;
  return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PosixEnv::RemoveDirectory(const std::string& path) {
  return rmdir(path.c_str()) == 0 || errno == ENOENT;
}

std::vector<std::string> PosixEnv::ListDirectory(const std::string& path, size_t limit) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (names.size() >= limit) break;
    names.push_back(std::move(name));
  }
  closedir(dir);
  return names;
}

std::optional<DiskSpace> PosixEnv::DiskSpaceOf(const std::string& path) {
  struct statvfs vfs;
  if (statvfs(path.c_str(), &vfs) != 0) return std::nullopt;
  return DiskSpace{static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize,
                   static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize,
                   static_cast<uint64_t>(vfs.f_fsid)};
}

std::string PosixEnv::ReadLink(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::optional<std::string> PosixEnv::RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

int64_t PosixEnv::LocalSeconds() {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  return static_cast<int64_t>(now) + local.tm_gmtoff;
}

int64_t PosixEnv::LocalOffsetAt(int64_t utc_seconds) {
  time_t at = static_cast<time_t>(utc_seconds);
  struct tm local;
  if (localtime_r(&at, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

int64_t PosixEnv::MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool PosixEnv::Sleep(int64_t ms, std::stop_token stop) {
  std::mutex mu;
  std::condition_variable_any cv;
  std::unique_lock<std::mutex> lock(mu);
  cv.wait_for(lock, stop, std::chrono::milliseconds(std::max<int64_t>(ms, 0)),
              [] { return false; });
  return !stop.stop_requested();
}

std::unique_ptr<Process> PosixEnv::Spawn(const std::vector<std::string>& argv,
                                         const EnvironmentList& extra_env,
                                         const std::string& output_path, SpawnMode mode) {
  if (argv.empty() || argv[0].empty()) return nullptr;
  std::vector<std::string> env_text = EnvironmentWith(extra_env);
  std::vector<char*> envp, args;
  for (std::string& s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (std::string& s : argv_copy) args.push_back(s.data());
  args.push_back(nullptr);

  SpawnSetup s;
  std::string out = output_path.empty() ? "/dev/null" : output_path;
  posix_spawn_file_actions_addopen(&s.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&s.actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&s.actions, 1, 2);
  posix_spawn_file_actions_addclosefrom_np(&s.actions, 3);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGCHLD, SIGTSTP, SIGTTIN, SIGTTOU,
                  SIGUSR1, SIGUSR2, SIGALRM})
    sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&s.attr, &none);
  posix_spawnattr_setsigdefault(&s.attr, &defaults);
  const bool detached = mode == SpawnMode::kDetached;
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (detached) {
    flags |= POSIX_SPAWN_SETSID;
  } else {
    posix_spawnattr_setpgroup(&s.attr, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&s.attr, flags);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &s.actions, &s.attr, args.data(), envp.data());
  if (rc != 0 || pid <= 0) return nullptr;
  return std::make_unique<PosixProcess>(pid, detached);
}

bool PosixEnv::Signal(pid_t pid, int signal) { return kill(pid, signal) == 0; }

}  // namespace netrove
