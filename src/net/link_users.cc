#include "net/link_users.h"

#include <atomic>
#include <chrono>

#include "net/access.h"
#include "runtime/clock.h"
#include "runtime/tasks.h"

namespace netrove {
namespace {

bool ClientGone(SocketVar* client) { return client != nullptr && !IsConnectionAlive(*client); }

}  // namespace

// Waits for the link as the controller brings it up. Returns when the link
// is on-line, the client has gone, the task is stopped or the polls ran out.
void LinkUsers::WaitForLink(SocketVar* client) {
  SharedState& shared = shared_;
  const NetTimings t = sockets_.Timings();
  // Bounds the whole wait, including the wait for a request to be taken.
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(t.await_poll_ms * t.await_polls);
  auto expired = [&] { return std::chrono::steady_clock::now() >= deadline; };
  // A controller that starts a new sleep countdown clears a request it
  // never acted on; so the request is made again whenever the link is
  // found idle (for a client that may dial) or waiting, not only once.
  const bool may_dial = access_.IsDialForClient(client);
  auto must_ask = [may_dial](uint8_t mode) {
    return mode == kLinkWaiting || (mode == kLinkIdle && may_dial);
  };
  int polls = 0;
  for (;;) {
    uint8_t mode = shared.link_mode.load();
    if (must_ask(mode)) {
      shared.control_request = mode == kLinkIdle ? kRequestSleep : kRequestRedial;
      while (shared.control_request.load() != kRequestNone) {
        if (ClientGone(client) || expired() || !TaskSleep(t.await_request_step_ms)) return;
      }
    }
    for (;;) {
      if (shared.link_mode.load() == kLinkOnline || ClientGone(client)) return;
      if (polls >= t.await_polls || expired()) return;
      ++polls;
      if (!TaskSleep(t.await_poll_ms)) return;
      if (must_ask(shared.link_mode.load())) break;  // ask again
    }
  }
}

bool LinkUsers::Await(SocketVar* client) {
  users_.fetch_add(1);
  uint8_t mode = shared_.link_mode.load();
  bool note_use = true;
  if (mode == kLinkIdle && !access_.IsDialForClient(client)) {
    note_use = false;  // may not dial: the service goes on without the link
  } else if (mode != kLinkOnline) {
    WaitForLink(client);
  }
  if (note_use) last_use_.store(NowSeconds(env_));
  bool ok = client == nullptr || (client->handle() > 1 && IsConnectionAlive(*client));
  if (!ok) Release();
  return ok;
}

void LinkUsers::Release() {
  last_use_.store(NowSeconds(env_));
  uint32_t users = users_.load();
  while (users > 0 && !users_.compare_exchange_weak(users, users - 1)) {
  }
}

}  // namespace netrove
