// TCP and UDP port mappings (MAPLINK, MAPULINK): a local port relayed to a
// fixed remote host and port, after the address check of maplink.ip or
// MapULink.ip and the dial-on-demand gate.
//
// Each mapping line is "port,host:port[,visibility]"; a visibility word
// beginning with H makes the mapping listen on LocalInterfaceAddress only.
// Logs "Maped port <p>, linked to <host:port>" ("Maped UDP port ..." for
// UDP) or "!NOT! map port <p>, port busy".
//
// Thread safety: Start/Stop may be called from any task; connections and
// datagrams already being relayed keep running after Stop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace netrove {

inline constexpr char kMapLinkListName[] = "maplink.ip";
inline constexpr char kMapULinkListName[] = "MapULink.ip";
// A UDP mapping keeps one relay per client address and port, at most this
// many; when full, the relay silent longest makes room.
inline constexpr int kMaxUdpRelays = 256;

// One mapping line taken apart.
struct MappingLine {
  std::string local_port;  // the text before the first ","
  std::string target;      // "host:port"
  bool hidden = false;
};
MappingLine SplitMappingLine(const std::string& line);

// Host and port of a UDP target ("host:port", up to 5 digits of port).
struct UdpTarget {
  std::string host;
  uint16_t port = 0;
};
std::optional<UdpTarget> ParseUdpTarget(const std::string& target);

// The name of `name` in the working directory, matched without regard to
// case (an exact match wins); `name` itself when there is none.
std::string FindFileAnyCase(const std::string& name);

// Start: nothing when that protocol's mappings already run, the list file
// cannot be read, or there is no line. Lines are taken from the current
// configuration.
void StartTcpMappings();
void StartUdpMappings();
// Close every mapping's listener and forget the mappings.
void StopTcpMappings();
void StopUdpMappings();
// Listening mappings (for tests and diagnostics).
int RunningTcpMappings();
int RunningUdpMappings();
// Datagram relays currently running.
int ActiveUdpRelays();

// How long a UDP relay lives after the last datagram either way (300 s).
// Tests shorten it.
void SetUdpReplyLifeForTesting(int64_t ms);

}  // namespace netrove
