// Caps on the client tasks of the port servers: per client address, per
// listener and in total. A connection beyond a cap is refused (closed at
// once) instead of costing a task, a thread and descriptors, so that one
// host flooding a service cannot take the gateway from the others.
//
// Thread safety: all members may be called from any task.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace netrove {

inline constexpr int kMaxClientsPerAddress = 128;
inline constexpr int kMaxClientsPerListener = 512;

// The total for a process allowed `descriptors` open files: a relayed
// connection holds about three (client, remote, the task's wake-up).
int TotalClientCap(uint64_t descriptors);

class ClientCaps {
 public:
  ClientCaps(int per_address, int per_listener, int total)
      : per_address_(per_address), per_listener_(per_listener), total_(total) {}

  // Held by a client task while it lives; frees its place when destroyed.
  class Claim {
   public:
    Claim(ClientCaps& caps, uint32_t address, std::shared_ptr<std::atomic<int>> listener)
        : caps_(caps), address_(address), listener_(std::move(listener)) {}
    ~Claim() { caps_.Release(address_, *listener_); }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

   private:
    ClientCaps& caps_;
    const uint32_t address_;
    const std::shared_ptr<std::atomic<int>> listener_;
  };

  // A place for a client of `address` on a listener whose client count is
  // `listener`; null when a cap is reached. Without `count_address` only
  // the listener's and the total cap apply: for the program's internal
  // loopback listeners (the proxy's relay, the local POP3 server), whose
  // clients are its own connections. The caps object must outlive the claim.
  std::shared_ptr<Claim> Admit(uint32_t address, const std::shared_ptr<std::atomic<int>>& listener,
                               bool count_address = true);
  int Total() const;

 private:
  void Release(uint32_t address, std::atomic<int>& listener);
  friend class Claim;

  const int per_address_, per_listener_, total_;
  mutable std::mutex mu_;
  std::map<uint32_t, int> per_address_count_;  // guarded by mu_
  int total_count_ = 0;                        // guarded by mu_
};

// The soft limit of open descriptors of this process (1 << 20 when
// unlimited, 1024 when unknown).
uint64_t DescriptorLimit();

}  // namespace netrove
