// Placeholder until the reader lands: an empty configuration.
#include "config/config.h"

#include <mutex>

namespace netrove {
namespace {
std::mutex mu;
std::shared_ptr<const ConfigRecord> current = std::make_shared<ConfigRecord>();
}  // namespace

std::shared_ptr<const ConfigRecord> CurrentConfig() {
  std::lock_guard<std::mutex> lock(mu);
  return current;
}

void UpdateConfig(const std::function<void(ConfigRecord&)>& change) {
  std::lock_guard<std::mutex> lock(mu);
  auto copy = std::make_shared<ConfigRecord>(*current);
  change(*copy);
  current = copy;
}

void LoadConfiguration(const std::string&, bool) {}
std::vector<std::string> ConfigWarnings() { return {}; }
void SetConfigHooks(ConfigHooks) {}

}  // namespace netrove
