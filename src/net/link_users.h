// The dial-on-demand gate. A service calls AwaitLink before it needs the
// Internet link and ReleaseLink when it is done; LinkUse pairs the two.
// AwaitLink asks the session controller for a dial through
// Shared().control_request (3 when idle, 2 while waiting to redial) and
// polls Shared().link_mode; it never changes link_mode.
//
// Thread safety: all functions may be called from any task; the counters
// are atomic. A stop request of the calling task ends the wait.
#pragma once

#include <cstdint>

#include "net/socket.h"

namespace netrove {

// True when the service may go on (the caller then owes one ReleaseLink);
// false when the client has gone (nothing owed). `client` may be nullptr.
[[nodiscard]] bool AwaitLink(SocketVar* client);
void ReleaseLink();

// Clients between AwaitLink and ReleaseLink.
uint32_t LinkUsers();
// NowSeconds() of the last pass or release.
uint32_t LastLinkUse();

// AwaitLink on construction, ReleaseLink on destruction when it passed.
class LinkUse {
 public:
  explicit LinkUse(SocketVar* client) : held_(AwaitLink(client)) {}
  ~LinkUse() {
    if (held_) ReleaseLink();
  }
  LinkUse(const LinkUse&) = delete;
  LinkUse& operator=(const LinkUse&) = delete;
  bool held() const { return held_; }

 private:
  bool held_;
};

}  // namespace netrove
