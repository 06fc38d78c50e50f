#include "net/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "config/config.h"
#include "net/socket.h"
#include "runtime/clock.h"
#include "runtime/program.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr char kMarker[] = " # URL cache ";
constexpr size_t kMarkerLength = sizeof kMarker - 1;  // 13
constexpr size_t kHostsReadLimit = 4u << 20;

bool ParseHex8(const std::string& text, uint32_t& value) {
  if (text.size() != 8) return false;
  value = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else
      return false;
    value = value * 16 + static_cast<uint32_t>(d);
  }
  return true;
}

}  // namespace

uint32_t SystemHostLookup(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || result == nullptr)
    return kNoAddress;
  uint32_t address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(result);
  return address;
}

std::string HostsFilePath() {
  const char* env = std::getenv("NETROVE_HOSTS");
  if (env != nullptr && *env != '\0') return env;
  std::string dir = ProgramDirectory();
  return dir + (dir == "/" ? "" : "/") + "hosts";
}

uint32_t LookUpHostsLines(const std::vector<std::string>& lines, const std::string& name,
                          uint32_t now) {
  const std::string wanted = UpperAscii(name);
  for (const std::string& raw : lines) {
    std::string line = Trim(raw, " \t\r");
    if (line.empty() || line[0] == '#') continue;
    size_t at = line.find(kMarker);
    uint32_t expiry;
    if (at != std::string::npos && ParseHex8(line.substr(at + kMarkerLength, 8), expiry) &&
        now > expiry)
      continue;  // an expired cache line
    line = line.substr(0, line.find('#'));
    std::vector<std::string> words;
    for (size_t i = 0; i < line.size();) {
      size_t e = line.find_first_of(" \t", i);
      if (e == std::string::npos) e = line.size();
      if (e > i) words.push_back(line.substr(i, e - i));
      i = e + 1;
    }
    in_addr address{};
    if (words.size() < 2 || inet_aton(words[0].c_str(), &address) == 0) continue;
    for (size_t i = 1; i < words.size(); ++i)
      if (UpperAscii(words[i]) == wanted) return address.s_addr;
  }
  return kNoAddress;
}

Resolver::Resolver(Env& env, ConfigStore& config, HostLookup lookup, std::string hosts_path)
    : env_(env),
      config_(config),
      lookup_(lookup ? std::move(lookup) : SystemHostLookup),
      hosts_path_(std::move(hosts_path)) {}

// Caller holds mu_.
void Resolver::LoadLocked() {
  lines_.clear();
  writable_copy_ = true;
  FileStamp before = StampOf(env_, hosts_path_);
  std::optional<std::string> data = env_.ReadFile(hosts_path_, kHostsReadLimit);
  if (!data) {
    stamp_ = FileStamp();
    return;
  }
  if (data->size() >= kHostsReadLimit) writable_copy_ = false;
  stamp_ = before;
  size_t start = 0;
  while (start < data->size()) {
    size_t end = data->find('\n', start);
    if (end == std::string::npos) end = data->size();
    lines_.push_back(data->substr(start, end - start));
    start = end + 1;
  }
}

void Resolver::LoadHostsFile() {
  std::lock_guard<std::mutex> lock(mu_);
  LoadLocked();
}

std::vector<std::string> Resolver::HostsLines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

bool CacheableName(const std::string& name) {
  if (name.empty() || name.size() > 255) return false;
  for (unsigned char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

bool UpdateHostsCache(std::vector<std::string>& lines, const std::string& dotted,
                      const std::string& name, uint32_t now, uint32_t cache_days) {
  const std::string prefix = dotted + " " + name + " #";
  bool cached = false;
  bool changed = false;
  for (size_t i = lines.size(); i-- > 0;) {
    std::string line = Trim(lines[i], " \t\r");
    if (line.empty() || line[0] == '#') continue;
    size_t at = line.find(kMarker);
    uint32_t expiry;
    if (at == std::string::npos || !ParseHex8(line.substr(at + kMarkerLength, 8), expiry)) continue;
    bool mine = line.compare(0, prefix.size(), prefix) == 0;
    if (mine) cached = true;
    if (now > expiry) {
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
      changed = true;
      if (mine) cached = false;
    }
  }
  if (!cached) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X",
                  static_cast<uint32_t>(now + static_cast<uint64_t>(cache_days) * 86400u));
    lines.push_back(prefix + " URL cache " + hex);
    changed = true;
  }
  return changed;
}

uint32_t Resolver::Resolve(const std::string& name) {
  in_addr dotted{};
  if (inet_aton(name.c_str(), &dotted) != 0) return dotted.s_addr;

  std::lock_guard<std::mutex> lock(mu_);
  // The hosts file first: its own lines and the names cached in it.
  if (uint32_t cached = LookUpHostsLines(lines_, name, NowSeconds(env_)); cached != kNoAddress)
    return cached;
  uint32_t address = lookup_(name);
  if (address == kNoAddress || name == LocalInterfaceName() || !CacheableName(name)) return address;

  uint32_t days = config_.Current()->cache_dns_day;
  if (!UpdateHostsCache(lines_, DottedAddress(address), name, NowSeconds(env_), days))
    return address;
  FileStamp current = StampOf(env_, hosts_path_);
  if (!current.present) current = stamp_;
  if (current == stamp_ && writable_copy_) {
    std::string data;
    for (const std::string& line : lines_) data += line + "\n";
    // Failure: no cache, nothing else.
    (void)WriteFileAtomically(env_, hosts_path_, data, 0644, true);
  }
  LoadLocked();
  return address;
}

void Resolver::DetermineLocalInterface() {
  const char* env = std::getenv("IPINTERFACENAME");
  if (env != nullptr && *env != '\0') {
    SetLocalInterfaceName(env);
    return;
  }
  if (std::string host = ComputerName(); !host.empty()) SetLocalInterfaceName(host);
}

std::string ComputerName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::string Resolver::LocalInterfaceName() const {
  std::lock_guard<std::mutex> lock(name_mu_);
  return interface_name_;
}

void Resolver::SetLocalInterfaceName(const std::string& name) {
  std::lock_guard<std::mutex> lock(name_mu_);
  interface_name_ = name.substr(0, 255);
}

uint32_t Resolver::LocalInterfaceAddress() {
  uint32_t address = Resolve(LocalInterfaceName());
  if (address == 0 || address == kNoAddress) return htonl(INADDR_LOOPBACK);
  return address;
}

std::string Resolver::LocalInterfaceAddressText() { return DottedAddress(LocalInterfaceAddress()); }

}  // namespace netrove
