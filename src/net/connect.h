// Outgoing TCP connections: Connector::Connect with its host-text rules and the
// cache of recent failures (names that did not resolve, address:port pairs
// that refused), emptied by the "Bad URL checker" task every period and by
// the session controller when a link comes up.
//
// Thread safety: all members may be called from any task.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>

#include "net/socket.h"
#include "runtime/tasks.h"

namespace netrove {

struct HostTarget {
  std::string name;
  uint16_t port = 0;
};

// Host text to host name and port: trailing CR/LF removed, a scheme prefix
// up to "//" and a path from "/" dropped, ":" followed by a decimal port
// replacing `default_port`. Nothing when the text is empty.
std::optional<HostTarget> ParseHostText(const std::string& host, uint16_t default_port);

class Resolver;

// Outgoing connections of one network and their failure cache.
class Connector {
 public:
  Connector(SocketLayer& sockets, Resolver& resolver) : sockets_(sockets), resolver_(resolver) {}
  Connector(const Connector&) = delete;
  Connector& operator=(const Connector&) = delete;

  // Connects to the host (name or dotted address) within the connect bound;
  // a stop request of the calling task ends the attempt. Returns the
  // connected socket, or a closed SocketVar on any failure.
  SocketVar Connect(const std::string& host, uint16_t default_port);

  // The failure cache.
  bool FailedCached(const std::string& key) const;
  void AddFailed(const std::string& key);
  void ClearFailed();
  size_t FailedCount() const;

  // Starts the "Bad URL checker" task on `tasks` (the caller owns the
  // handle): it empties the cache every bad-URL period.
  TaskHandle StartBadUrlChecker(Tasks& tasks);

 private:
  bool FinishConnect(int fd);

  SocketLayer& sockets_;
  Resolver& resolver_;
  mutable std::mutex mu_;
  std::unordered_set<std::string> failed_;  // guarded by mu_
};

}  // namespace netrove
