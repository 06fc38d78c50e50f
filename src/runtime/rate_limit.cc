#include "runtime/rate_limit.h"

namespace netrove {

bool RateLimiter::Admit(const std::string& key, int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    if (entries_.size() >= kMaxKeys) PruneLocked(now_ms);
    it = entries_.try_emplace(entries_.size() >= kMaxKeys ? kOtherKey : key).first;
  }
  Entry& e = it->second;
  e.last_seen = now_ms;
  if (now_ms - e.second_start >= 1000 || now_ms < e.second_start) {
    e.second_start = now_ms;
    e.in_second = 0;
  }
  if (e.in_second < kBurst) {
    ++e.in_second;
    return true;
  }
  if (e.suppressed++ == 0 && e.summary_due <= now_ms) e.summary_due = now_ms + kSummaryMs;
  return false;
}

std::vector<RateLimiter::Summary> RateLimiter::TakeSummaries(int64_t now_ms, bool all) {
  std::vector<Summary> due;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [key, e] : entries_) {
    if (e.suppressed == 0 || (!all && now_ms < e.summary_due)) continue;
    due.push_back({key, e.suppressed});
    e.suppressed = 0;
    e.summary_due = now_ms + kSummaryMs;
  }
  PruneLocked(now_ms);
  return due;
}

void RateLimiter::PruneLocked(int64_t now_ms) {
  // Keys quiet for a minute with nothing left to report are forgotten.
  std::erase_if(entries_, [now_ms](const auto& kv) {
    return kv.second.suppressed == 0 && now_ms - kv.second.last_seen >= kSummaryMs;
  });
}

std::string RateLimiter::SummaryText(const Summary& s) {
  return "\xe2\x80\xa6 " + std::to_string(s.count) + " further attempts from " + s.key;
}

}  // namespace netrove
