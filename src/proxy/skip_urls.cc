#include "proxy/skip_urls.h"

namespace netrove {

bool SkipUrlList::Contains(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mu_);
  return paths_.contains(path);
}

void SkipUrlList::Add(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  if (paths_.size() < max_paths_) paths_.insert(path);
}

void SkipUrlList::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  paths_.clear();
}

int SkipUrlList::Count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(paths_.size());
}

TaskHandle SkipUrlList::StartSkipUrlTask(Tasks& tasks, int64_t period_ms) {
  return tasks.Start("Skip url", [this, period_ms](uint32_t) -> uint32_t {
    while (TaskSleep(period_ms)) {
      if (Count() > 0) Clear();
    }
    return 0;
  });
}

}  // namespace netrove
