#include "runtime/local_clock.h"

#include <ctime>
#include <memory>
#include <mutex>

namespace netrove {
namespace {

std::mutex clock_mu;
std::shared_ptr<std::function<int64_t()>> test_clock;

int64_t SystemLocalSeconds() {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  return static_cast<int64_t>(now) + local.tm_gmtoff;
}

}  // namespace

int64_t LocalUnixSeconds() {
  std::shared_ptr<std::function<int64_t()>> clock;
  {
    std::lock_guard<std::mutex> lock(clock_mu);
    clock = test_clock;
  }
  return clock ? (*clock)() : SystemLocalSeconds();
}

LocalDateTime BreakDownLocal(int64_t local_seconds) {
  time_t t = static_cast<time_t>(local_seconds);
  struct tm tm;
  gmtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
          tm.tm_min,         tm.tm_sec,     tm.tm_wday};
}

void SetLocalClockForTesting(std::function<int64_t()> clock) {
  std::lock_guard<std::mutex> lock(clock_mu);
  test_clock = clock ? std::make_shared<std::function<int64_t()>>(std::move(clock)) : nullptr;
}

}  // namespace netrove
