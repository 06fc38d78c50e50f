// Which lines of a flood of repeated reports get written. Each key (a
// client address, say) may write a few lines a second; what goes beyond is
// counted, and the count is reported once a minute ("… N further attempts
// from <key>"). A port scan or a connection flood then costs a few log
// lines a minute instead of filling the disk.
//
// Pure logic: the caller hands in a monotonic clock reading. Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace netrove {

class RateLimiter {
 public:
  static constexpr int kBurst = 3;              // lines per key and second
  static constexpr int64_t kSummaryMs = 60000;  // a summary at most once a minute
  static constexpr size_t kMaxKeys = 4096;      // beyond: one shared key
  static constexpr char kOtherKey[] = "other addresses";

  struct Summary {
    std::string key;
    uint64_t count = 0;
  };

  // One report of `key` at `now_ms`: true when its line is to be written.
  bool Admit(const std::string& key, int64_t now_ms);
  // The counts of suppressed reports whose summary is due (a minute after
  // the previous summary or the first suppressed report), or all of them
  // with `all`. Reported counts start again from zero.
  std::vector<Summary> TakeSummaries(int64_t now_ms, bool all = false);

  // The summary line of one key.
  static std::string SummaryText(const Summary& s);

 private:
  struct Entry {
    int64_t second_start = 0;  // start of the current one-second window
    int in_second = 0;         // lines written in it
    uint64_t suppressed = 0;
    int64_t summary_due = 0;  // when `suppressed` may be reported
    int64_t last_seen = 0;
  };
  void PruneLocked(int64_t now_ms);

  std::mutex mu_;
  std::map<std::string, Entry> entries_;  // guarded by mu_
};

}  // namespace netrove
