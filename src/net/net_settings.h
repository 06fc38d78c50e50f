// Waits and periods of the network layer, in one place so that tests can
// shorten them. Production values are the defaults below. A SocketLayer
// holds the set in force (socket.h).
#pragma once

#include <cstdint>

namespace netrove {

struct NetTimings {
  int64_t receive_timeout_ms = 120000;  // a silent peer ends a receive
  int64_t send_timeout_ms = 120000;     // a peer that does not read ends a send
  int64_t relay_idle_ms = 360000;       // RelaySockets: silence in both directions
  int64_t connect_timeout_ms = 130000;  // upper bound above the system's TCP time-out
  int64_t bad_url_period_ms = 60000;    // "Bad URL checker" empties the failure cache
  int64_t cps_period_ms = 2000;         // "Calc CPS" tick
  int64_t listener_poll_ms = 1000;      // listener tasks re-read their tables
  // LinkUsers::Await: the wait for the controller to take a request, the
  // link-mode polls, and their count (600 polls = 50 minutes).
  int64_t await_request_step_ms = 1000;
  int64_t await_poll_ms = 5000;
  int await_polls = 600;
};

}  // namespace netrove
