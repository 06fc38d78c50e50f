#include "proxy/skip_urls.h"

#include <algorithm>

namespace netrove {

bool SkipUrlList::Contains(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mu_);
  const auto& items = paths_.items();
  return std::find(items.begin(), items.end(), path) != items.end();
}

void SkipUrlList::Add(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  paths_.Add(path);
}

void SkipUrlList::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  paths_.Clear();
}

int SkipUrlList::Count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return paths_.Count();
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
