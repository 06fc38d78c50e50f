// SkipUrlList: cache paths confirmed current (or just written) since the
// list was last emptied; the request handling trusts them without asking
// the origin. The "Skip url" task empties it every 5 minutes, so no entry
// is trusted longer than that.
//
// Thread safety: every member may be called from any task.
#pragma once

#include <mutex>
#include <string>
#include <unordered_set>

#include "runtime/tasks.h"

namespace netrove {

inline constexpr int64_t kSkipUrlPeriodMs = 300 * 1000;
// Paths kept at most between two emptyings: beyond it, objects are checked
// as if they had not been confirmed, and a flood of new URLs costs no
// more memory.
inline constexpr size_t kMaxSkipPaths = 20000;

class SkipUrlList {
 public:
  explicit SkipUrlList(size_t max_paths = kMaxSkipPaths) : max_paths_(max_paths) {}
  SkipUrlList(const SkipUrlList&) = delete;
  SkipUrlList& operator=(const SkipUrlList&) = delete;

  // Exact, case-sensitive comparison.
  bool Contains(const std::string& path) const;
  // Adds the path (once; it is looked up on every request, so by hash),
  // unless the list is full.
  void Add(const std::string& path);
  void Clear();
  int Count() const;

  // Starts the "Skip url" task on `tasks` (the caller owns the handle): it
  // empties the list every `period_ms` while it is not empty.
  TaskHandle StartSkipUrlTask(Tasks& tasks, int64_t period_ms = kSkipUrlPeriodMs);

 private:
  const size_t max_paths_;
  mutable std::mutex mu_;
  std::unordered_set<std::string> paths_;  // guarded by mu_
};

}  // namespace netrove
