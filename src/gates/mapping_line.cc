// The text of MAPLINK and MAPULINK lines, and the address-list file found
// under any spelling of its name.
#include <strings.h>

#include "gates/portmap.h"

namespace netrove {
namespace {

constexpr size_t kDirectoryLimit = 100000;

}  // namespace

MappingLine SplitMappingLine(const std::string& line) {
  MappingLine m;
  size_t first = line.find(',');
  m.local_port = line.substr(0, first);
  if (first == std::string::npos) return m;
  std::string rest = line.substr(first + 1);
  size_t second = rest.find(',');
  m.target = rest.substr(0, second);
  if (second != std::string::npos) {
    std::string visibility = rest.substr(second);
    m.hidden = visibility.size() >= 2 && (visibility[1] == 'H' || visibility[1] == 'h');
  }
  return m;
}

std::optional<UdpTarget> ParseUdpTarget(const std::string& target) {
  size_t colon = target.find(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  UdpTarget t;
  t.host = target.substr(0, colon);
  uint32_t port = 0;
  size_t digits = 0;
  for (size_t i = colon + 1; i < target.size() && digits < 5; ++i, ++digits) {
    char c = target[i];
    if (c < '0' || c > '9') break;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port == 0 || port > 65535) return std::nullopt;
  t.port = static_cast<uint16_t>(port);
  return t;
}

std::string FindFileAnyCase(Env& env, const std::string& name) {
  std::string found;
  for (const std::string& candidate : env.ListDirectory(".", kDirectoryLimit)) {
    if (candidate == name) return candidate;
    if (found.empty() && strcasecmp(candidate.c_str(), name.c_str()) == 0) found = candidate;
  }
  return found.empty() ? name : found;
}

}  // namespace netrove
