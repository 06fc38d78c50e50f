// The "Proxy cache clear task": every 30 minutes it deletes cache files
// not used for 24 days, then the oldest files until the disk has the free
// space PROXYDISKFREE asks for and the cache fits PROXYSIZE, and logs
// "Purge proxy cache. Free N bytes" when it deleted anything.
//
// Both settings are a number of megabytes ("10") or a percentage of the
// disk from 3 to 99 ("3%"); anything else sets no limit. Disk figures,
// file times and the clock come from the Env.
//
// Thread safety: Start/Stop from the owner's thread; PurgeRound from one
// task at a time.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "config/config.h"
#include "runtime/env.h"
#include "runtime/log.h"
#include "runtime/tasks.h"

namespace netrove {

inline constexpr int64_t kPurgeFirstWaitMs = 15 * 1000;
inline constexpr int64_t kPurgePeriodMs = 30 * 60 * 1000;
// Files whose day stamp is not after now minus this are deleted.
inline constexpr int64_t kPurgeAgeSeconds = 24 * 86400;
// Deleting for a limit goes this far beyond it, so the next file written
// does not cross it again at once.
inline constexpr uint64_t kPurgeSlack = 10240;

// Bytes to delete so that the disk has the free space `setting` asks for.
uint64_t FreeSpaceTarget(std::string_view setting, const DiskSpace& disk);
// Bytes to delete so that a cache of `cache_bytes` fits `setting`.
uint64_t SizeTarget(std::string_view setting, uint64_t cache_bytes, uint64_t disk_bytes);

class ProxyCachePurge {
 public:
  // `cache_dir` is the cache directory (a "/" is added when missing).
  ProxyCachePurge(Env& env, Tasks& tasks, Log& log, const ConfigStore& config,
                  std::string cache_dir);
  ~ProxyCachePurge() { StopPurgeTask(); }
  ProxyCachePurge(const ProxyCachePurge&) = delete;
  ProxyCachePurge& operator=(const ProxyCachePurge&) = delete;

  // Starts the task (15 s, then a round every 30 minutes); idempotent.
  void StartPurgeTask();
  void StopPurgeTask();

  // One round; the bytes freed.
  uint64_t PurgeRound();

 private:
  struct CacheFile;

  Env& env_;
  Tasks& tasks_;
  Log& log_;
  const ConfigStore& config_;
  const std::string cache_dir_;
  std::mutex mu_;
  TaskHandle task_;  // guarded by mu_
};

}  // namespace netrove
