#include "proxy/cache_purge.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "proxy/cache_entry.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr uint64_t kMegabyte = 1048576;
constexpr size_t kMaxNamesPerDirectory = 200000;
// The tree is cache/host/file or cache/FTP/host/file; deeper is not ours.
constexpr int kMaxDepth = 4;

struct Setting {
  uint64_t number = 0;
  bool percent = false;
};

// "N" or "N%", N decimal digits (at most 9); nullopt for anything else.
std::optional<Setting> ParseSetting(std::string_view text) {
  std::string value = Trim(text);
  Setting setting;
  if (!value.empty() && value.back() == '%') {
    setting.percent = true;
    value = Trim(value.substr(0, value.size() - 1));
  }
  if (value.empty() || value.size() > 9 ||
      value.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  setting.number = std::stoull(value);
  if (setting.percent && (setting.number < 3 || setting.number > 99)) return std::nullopt;
  return setting;
}

// percent × bytes / 100 without overflow.
uint64_t PercentOf(uint64_t percent, uint64_t bytes) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(percent) * bytes / 100);
}

uint64_t RoundedPercent(uint64_t part, uint64_t whole) {
  return static_cast<uint64_t>(std::llround(static_cast<double>(part) * 100.0 / whole));
}

// 00:00 (local) of the day of a file time.
int64_t DayStamp(Env& env, int64_t time_ns) {
  const int64_t utc = time_ns / 1000000000;
  const int64_t local = utc + env.LocalOffsetAt(utc);
  return local - ((local % 86400) + 86400) % 86400;
}

}  // namespace

uint64_t FreeSpaceTarget(std::string_view setting_text, const DiskSpace& disk) {
  std::optional<Setting> setting = ParseSetting(setting_text);
  if (!setting) return 0;
  if (setting->percent) {
    if (disk.total_bytes == 0) return 0;
    const uint64_t free_percent = RoundedPercent(disk.free_bytes, disk.total_bytes);
    if (setting->number < free_percent) return 0;
    return PercentOf(setting->number + 1 - free_percent, disk.total_bytes);
  }
  const uint64_t need = setting->number * kMegabyte;
  if (need == 0 || need <= disk.free_bytes) return 0;
  return need + kPurgeSlack - disk.free_bytes;
}

uint64_t SizeTarget(std::string_view setting_text, uint64_t cache_bytes, uint64_t disk_bytes) {
  std::optional<Setting> setting = ParseSetting(setting_text);
  if (!setting) return 0;
  if (setting->percent) {
    if (disk_bytes == 0) return 0;
    const uint64_t cache_percent = RoundedPercent(cache_bytes, disk_bytes);
    if (setting->number > cache_percent) return 0;
    return PercentOf(cache_percent + 1 - setting->number, disk_bytes);
  }
  const uint64_t limit = setting->number * kMegabyte;
  if (limit == 0 || cache_bytes <= limit) return 0;
  return cache_bytes + kPurgeSlack - limit;
}

struct ProxyCachePurge::CacheFile {
  uint64_t size = 0;
  int64_t stamp = 0;
  std::string path;
};

ProxyCachePurge::ProxyCachePurge(Env& env, Tasks& tasks, Log& log, const ConfigStore& config,
                                 std::string cache_dir)
    : env_(env),
      tasks_(tasks),
      log_(log),
      config_(config),
      cache_dir_(cache_dir.empty() || cache_dir.back() == '/' ? cache_dir : cache_dir + "/") {}

void ProxyCachePurge::StartPurgeTask() {
  std::lock_guard<std::mutex> lock(mu_);
  if (Tasks::Running(task_)) return;
  task_ = tasks_.Start("Proxy cache clear task", [this](uint32_t) -> uint32_t {
    for (int64_t wait = kPurgeFirstWaitMs; TaskSleep(wait); wait = kPurgePeriodMs) PurgeRound();
    return 0;
  });
}

void ProxyCachePurge::StopPurgeTask() { Tasks::TakeAndStop(mu_, task_); }

uint64_t ProxyCachePurge::PurgeRound() {
  const int64_t threshold = env_.LocalSeconds() - kPurgeAgeSeconds;
  std::vector<CacheFile> old_files, keep;
  const std::string root = cache_dir_.substr(0, cache_dir_.size() - 1);

  // Files of a directory first, then its sub-directories ("." ones skipped).
  std::function<void(const std::string&, int)> walk = [&](const std::string& dir, int depth) {
    std::vector<std::string> subdirs;
    for (const std::string& name : env_.ListDirectory(dir, kMaxNamesPerDirectory)) {
      const std::string path = dir + "/" + name;
      std::optional<FileInfo> info = env_.Stat(path);
      if (!info || !env_.ReadLink(path).empty()) continue;  // links lead out of the cache
      if (info->is_directory) {
        if (name[0] != '.' && depth < kMaxDepth) subdirs.push_back(path);
        continue;
      }
      const int64_t stamp =
          std::max(DayStamp(env_, info->mtime_ns), DayStamp(env_, info->atime_ns));
      (stamp <= threshold ? old_files : keep).push_back({info->size, stamp, path});
    }
    for (const std::string& sub : subdirs) walk(sub, depth + 1);
  };
  walk(root, 1);

  // Newest first; equal stamps, smaller first: the end holds what goes first.
  std::sort(keep.begin(), keep.end(), [](const CacheFile& a, const CacheFile& b) {
    return a.stamp != b.stamp ? a.stamp > b.stamp : a.size < b.size;
  });

  uint64_t freed = 0;
  // A file that cannot be deleted (open elsewhere) still counts; the next
  // round tries again.
  auto remove = [&](const CacheFile& file) {
    (void)env_.RemoveFile(file.path);
    if (std::string dir = DirectoryOf(file.path); !dir.empty() && dir != root)
      (void)env_.RemoveDirectory(dir);
    freed += file.size;
  };
  for (const CacheFile& file : old_files) remove(file);
  auto remove_oldest = [&](uint64_t target) {
    for (uint64_t count = 0; count < target && !keep.empty(); keep.pop_back()) {
      count += keep.back().size;
      remove(keep.back());
    }
  };

  std::shared_ptr<const ConfigRecord> config = config_.Current();
  const DiskSpace disk = env_.DiskSpaceOf(root).value_or(DiskSpace{});
  remove_oldest(FreeSpaceTarget(config->proxy_disk_free, disk));
  uint64_t cache_bytes = 0;
  for (const CacheFile& file : keep) cache_bytes += file.size;
  remove_oldest(SizeTarget(config->proxy_size, cache_bytes, disk.total_bytes));

  if (freed > 0) log_.Write("Purge proxy cache. Free " + GroupThousands(freed) + " bytes");
  return freed;
}

}  // namespace netrove
