// Name resolution with a DNS cache kept in the hosts file, and the local
// interface name used by hidden services.
//
// Resolve returns dotted addresses as they are; names go through the
// system resolver (IPv4) and each resolved name made of letters, digits,
// "-" and "." is appended to the hosts file as
//   <address> <name> # URL cache <8 hex digits of the expiry in NowSeconds>
// Expired cache lines are removed when the cache is next touched. The file
// is rewritten (temporary file and rename) only when nobody changed it
// since it was read; every line the program did not add is kept byte for
// byte. A hosts file that cannot be written leaves resolution working.
//
// The hosts file is the one the Resolver is made with: by default
// $NETROVE_HOSTS when set, otherwise "hosts" in the program directory; its
// lines (and the cached names) are looked at before
// the system resolver. Only a NETROVE_HOSTS naming /etc/hosts shares the
// cache with the other programs of the machine.
// Thread safety: all members may be called from any task; look-ups of
// names are serialised by the resolver lock.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "net/file_stamp.h"
#include "runtime/env.h"

namespace netrove {

class ConfigStore;

// "No address" (also what 255.255.255.255 reads as).
inline constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

// A name to its IPv4 address in network order, or kNoAddress.
using HostLookup = std::function<uint32_t(const std::string& name)>;
// The system resolver (getaddrinfo, IPv4).
uint32_t SystemHostLookup(const std::string& name);

// $NETROVE_HOSTS when set, otherwise "hosts" in the program directory.
std::string HostsFilePath();

// This computer's host name, "" when it has none.
std::string ComputerName();

class Resolver {
 public:
  // CACHEDNSDAY is read from `config` at each cached name; the hosts file
  // is `hosts_path`; names not in it go to `lookup`.
  Resolver(Env& env, ConfigStore& config, HostLookup lookup = SystemHostLookup,
           std::string hosts_path = HostsFilePath());
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // IPv4 address in network order, or kNoAddress.
  uint32_t Resolve(const std::string& name);

  const std::string& hosts_path() const { return hosts_path_; }
  // Reads the hosts file into memory (start of the network layer; tests).
  void LoadHostsFile();
  // The lines as last read (for tests and diagnostics).
  std::vector<std::string> HostsLines() const;

  // $IPINTERFACENAME, else the machine's host name.
  void DetermineLocalInterface();
  std::string LocalInterfaceName() const;
  void SetLocalInterfaceName(const std::string& name);
  // Resolve(LocalInterfaceName()), 127.0.0.1 when that gives 0 or fails.
  uint32_t LocalInterfaceAddress();
  std::string LocalInterfaceAddressText();

 private:
  void LoadLocked();

  Env& env_;
  ConfigStore& config_;
  const HostLookup lookup_;
  const std::string hosts_path_;
  mutable std::mutex mu_;           // the resolver lock
  std::vector<std::string> lines_;  // guarded by mu_
  FileStamp stamp_;                 // guarded by mu_
  bool writable_copy_ = true;       // guarded by mu_; false when the file was too big to hold whole
  mutable std::mutex name_mu_;
  std::string interface_name_ = "127.0.0.1";  // guarded by name_mu_
};

// The address a hosts file's lines give `name` (without regard to case;
// expired cache lines do not count), or kNoAddress.
uint32_t LookUpHostsLines(const std::vector<std::string>& lines, const std::string& name,
                          uint32_t now);

// True for names the cache may hold: letters, digits, "-" and ".", 1..255.
bool CacheableName(const std::string& name);

// The cache step on the lines of a hosts file: drops expired cache lines
// and appends one for `name` unless it is cached and current. Returns true
// when the lines changed.
bool UpdateHostsCache(std::vector<std::string>& lines, const std::string& dotted,
                      const std::string& name, uint32_t now, uint32_t cache_days);

}  // namespace netrove
