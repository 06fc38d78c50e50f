#include "net/net_settings.h"

#include <mutex>

namespace netrove {
namespace {

std::mutex& TimingsMutex() {
  static std::mutex mu;
  return mu;
}

NetTimings& TimingsValue() {
  static NetTimings timings;  // guarded by TimingsMutex()
  return timings;
}

}  // namespace

NetTimings NetTimingsNow() {
  std::lock_guard<std::mutex> lock(TimingsMutex());
  return TimingsValue();
}

void SetNetTimingsForTesting(const NetTimings& timings) {
  std::lock_guard<std::mutex> lock(TimingsMutex());
  TimingsValue() = timings;
}

}  // namespace netrove
