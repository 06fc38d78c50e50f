#include "net/client_caps.h"

#include <sys/resource.h>

#include <algorithm>

namespace netrove {
namespace {

// No client has the address 0.0.0.0: the key of claims not counted per address.
constexpr uint32_t kUncountedAddress = 0;

}  // namespace

int TotalClientCap(uint64_t descriptors) {
  constexpr uint64_t kReserve = 64;  // listeners, log, lists, the console
  uint64_t room = descriptors > kReserve ? (descriptors - kReserve) / 3 : 0;
  return static_cast<int>(std::clamp<uint64_t>(room, 16, 4096));
}

std::shared_ptr<ClientCaps::Claim> ClientCaps::Admit(
    uint32_t address, const std::shared_ptr<std::atomic<int>>& listener, bool count_address) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!count_address) address = kUncountedAddress;
  int* mine = count_address ? &per_address_count_[address] : nullptr;
  if ((mine && *mine >= per_address_) || total_count_ >= total_ ||
      listener->load() >= per_listener_) {
    if (mine && *mine == 0) per_address_count_.erase(address);
    return nullptr;
  }
  if (mine) ++*mine;
  ++total_count_;
  ++*listener;
  return std::make_shared<Claim>(*this, address, listener);
}

void ClientCaps::Release(uint32_t address, std::atomic<int>& listener) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it =
      address == kUncountedAddress ? per_address_count_.end() : per_address_count_.find(address);
  if (it != per_address_count_.end() && --it->second <= 0) per_address_count_.erase(it);
  --total_count_;
  --listener;
}

int ClientCaps::Total() const {
  std::lock_guard<std::mutex> lock(mu_);
  return total_count_;
}

uint64_t DescriptorLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  return limit.rlim_cur == RLIM_INFINITY ? (1u << 20) : limit.rlim_cur;
}

}  // namespace netrove
