// The port watchdog (PORTDOG): listens on ports no real service uses and
// refuses every connection to them, logging "WARNING! <address> Access
// denied to port <port>" and appending "<address> #<port>" to
// access.ip.error.log. Logs "Dog on port #<p> started" per watched port and
// "WARNING: port #<p> busy???" for one that could not be bound.
//
// Thread safety: every member may be called from any task.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "config/config.h"
#include "net/network.h"
#include "runtime/log.h"

namespace netrove {

// The port texts of a PORTDOG value: spaces removed, split at ",".
std::vector<std::string> PortDogEntries(const std::string& value);

class PortDog {
 public:
  // PORTDOG is read from `config` at each start.
  PortDog(Network& network, Log& log, ConfigStore& config)
      : network_(network), log_(log), config_(config) {}
  ~PortDog() { Stop(); }
  PortDog(const PortDog&) = delete;
  PortDog& operator=(const PortDog&) = delete;

  // Nothing when already running or PORTDOG is empty.
  void Start();
  void Stop();
  bool Running() const;

 private:
  Network& network_;
  Log& log_;
  ConfigStore& config_;
  mutable std::mutex mu_;
  std::vector<SocketVar> ports_;  // guarded by mu_
  bool running_ = false;          // guarded by mu_
};

}  // namespace netrove
