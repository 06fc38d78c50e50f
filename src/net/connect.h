// Outgoing TCP connections: ConnectToHost with its host-text rules and the
// cache of recent failures (names that did not resolve, address:port pairs
// that refused), emptied by the "Bad URL checker" task every period and by
// the session controller when a link comes up.
//
// Thread safety: all functions may be called from any task.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

// Connects to the host (name or dotted address) within the connect bound;
// a stop request of the calling task ends the attempt. Returns the
// connected socket, or a closed SocketVar on any failure.
SocketVar ConnectToHost(const std::string& host, uint16_t default_port);

// The failure cache.
bool FailedConnectCached(const std::string& key);
void AddFailedConnect(const std::string& key);
void ClearFailedConnectCache();
size_t FailedConnectCount();

// Starts the "Bad URL checker" task (the caller owns the handle).
TaskHandle StartBadUrlChecker();

}  // namespace netrove
