// Name resolution with a DNS cache kept in the hosts file, and the local
// interface name used by hidden services.
//
// ResolveHost returns dotted addresses as they are; names go through the
// system resolver (IPv4) and each resolved name made of letters, digits,
// "-" and "." is appended to the hosts file as
//   <address> <name> # URL cache <8 hex digits of the expiry in NowSeconds>
// Expired cache lines are removed when the cache is next touched. The file
// is rewritten (temporary file and rename) only when nobody changed it
// since it was read; every line the program did not add is kept byte for
// byte. A hosts file that cannot be written leaves resolution working.
//
// The hosts file is $NETROVE_HOSTS when set, otherwise "hosts" in the
// program directory; its lines (and the cached names) are looked at before
// the system resolver. Only a NETROVE_HOSTS naming /etc/hosts shares the
// cache with the other programs of the machine.
// Thread safety: all functions may be called from any task; look-ups of
// names are serialised by the resolver lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace netrove {

// "No address" (also what 255.255.255.255 reads as).
inline constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

// IPv4 address in network order, or kNoAddress.
uint32_t ResolveHost(const std::string& name);

std::string HostsFilePath();
// The address a hosts file's lines give `name` (without regard to case;
// expired cache lines do not count), or kNoAddress.
uint32_t LookUpHostsLines(const std::vector<std::string>& lines, const std::string& name,
                          uint32_t now);
// Reads the hosts file into memory (start of the network layer; tests).
void LoadHostsFile();
// The lines as last read (for tests and diagnostics).
std::vector<std::string> HostsLines();

// $IPINTERFACENAME, else the machine's host name.
void DetermineLocalInterface();
std::string LocalInterfaceName();
void SetLocalInterfaceName(const std::string& name);
// ResolveHost(LocalInterfaceName()), 127.0.0.1 when that gives 0 or fails.
uint32_t LocalInterfaceAddress();
std::string LocalInterfaceAddressText();

// True for names the cache may hold: letters, digits, "-" and ".", 1..255.
bool CacheableName(const std::string& name);

// The cache step on the lines of a hosts file: drops expired cache lines
// and appends one for `name` unless it is cached and current. Returns true
// when the lines changed.
bool UpdateHostsCache(std::vector<std::string>& lines, const std::string& dotted,
                      const std::string& name, uint32_t now, uint32_t cache_days);

// Replaces the system resolver (nullptr restores it). For tests.
using HostLookup = std::function<uint32_t(const std::string& name)>;
void SetHostLookupForTesting(HostLookup lookup);

}  // namespace netrove
