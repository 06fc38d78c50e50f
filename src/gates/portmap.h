// TCP and UDP port mappings (MAPLINK, MAPULINK): a local port relayed to a
// fixed remote host and port, after the address check of maplink.ip or
// MapULink.ip and the dial-on-demand gate.
//
// Each mapping line is "port,host:port[,visibility]"; a visibility word
// beginning with H makes the mapping listen on the local interface address
// only.
// Logs "Maped port <p>, linked to <host:port>" ("Maped UDP port ..." for
// UDP) or "!NOT! map port <p>, port busy".
//
// Thread safety: every member may be called from any task; connections
// and datagrams already being relayed keep running after a stop.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "net/network.h"
#include "runtime/log.h"

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

struct PortMapOptions {
  // How long a UDP relay lives after the last datagram either way.
  int64_t udp_reply_life_ms = 300000;
};

class PortMaps {
 public:
  // Files are looked for through the network's Env; the lines are taken
  // from `config` at each start.
  PortMaps(Network& network, Log& log, ConfigStore& config,
           const PortMapOptions& options = PortMapOptions());
  // Stops both protocols.
  ~PortMaps();
  PortMaps(const PortMaps&) = delete;
  PortMaps& operator=(const PortMaps&) = delete;

  // Start: nothing when that protocol's mappings already run, the list
  // file cannot be read, or there is no line.
  void StartTcp();
  void StartUdp();
  // Close every mapping's listener and forget the mappings; the UDP relays
  // end (waited for up to two seconds) so that the ports can be bound again.
  void StopTcp();
  void StopUdp();
  // Listening mappings (for tests and diagnostics).
  int RunningTcp();
  int RunningUdp();
  // Datagram relays currently running.
  int ActiveUdpRelays() const;
  void SetUdpReplyLife(int64_t ms);

  struct Set;     // portmap.cc
  struct Shared;  // portmap.cc: what relay tasks share with the owner

 private:
  void Start(bool udp);
  void Stop(Set& set);

  Network& network_;
  Log& log_;
  ConfigStore& config_;
  const std::shared_ptr<Shared> shared_;
  const std::unique_ptr<Set> tcp_;
  const std::unique_ptr<Set> udp_;
};

// The name of `name` in the working directory, matched without regard to
// case (an exact match wins); `name` itself when there is none.
std::string FindFileAnyCase(Env& env, const std::string& name);

}  // namespace netrove
