// The dial-on-demand gate. A service calls Await before it needs the
// Internet link and Release when it is done; LinkUse pairs the two.
// Await asks the session controller for a dial through the shared state's
// control_request (3 when idle, 2 while waiting to redial) and polls its
// link_mode; it never changes link_mode.
//
// Thread safety: all members may be called from any task; the counters
// are atomic. A stop request of the calling task ends the wait.
#pragma once

#include <atomic>
#include <cstdint>

#include "net/socket.h"
#include "runtime/env.h"
#include "runtime/shared_state.h"

namespace netrove {

class Access;

class LinkUsers {
 public:
  // Waits by the await timings of `sockets`; dialfor.ip is judged by
  // `access`; uses are stamped with `env`'s clock.
  LinkUsers(Env& env, SharedState& shared, Access& access, SocketLayer& sockets)
      : env_(env), shared_(shared), access_(access), sockets_(sockets) {}
  LinkUsers(const LinkUsers&) = delete;
  LinkUsers& operator=(const LinkUsers&) = delete;

  // True when the service may go on (the caller then owes one Release);
  // false when the client has gone (nothing owed). `client` may be nullptr.
  [[nodiscard]] bool Await(SocketVar* client);
  void Release();

  // Clients between Await and Release.
  uint32_t Users() const { return users_.load(); }
  // NowSeconds of the last pass or release.
  uint32_t LastUse() const { return last_use_.load(); }

 private:
  void WaitForLink(SocketVar* client);

  Env& env_;
  SharedState& shared_;
  Access& access_;
  SocketLayer& sockets_;
  std::atomic<uint32_t> users_{0};
  std::atomic<uint32_t> last_use_{0};
};

// Await on construction, Release on destruction when it passed.
class LinkUse {
 public:
  LinkUse(LinkUsers& users, SocketVar* client) : users_(users), held_(users.Await(client)) {}
  ~LinkUse() {
    if (held_) users_.Release();
  }
  LinkUse(const LinkUse&) = delete;
  LinkUse& operator=(const LinkUse&) = delete;
  bool held() const { return held_; }

 private:
  LinkUsers& users_;
  const bool held_;
};

}  // namespace netrove
