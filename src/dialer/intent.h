// What the user or another task wants of a countdown or of the on-line
// loop: the keys and the control requests, decoded once for the dialer's
// countdown, the wait and sleep countdown and the on-line loop, which each
// keep only their own reaction. Pure functions.
#pragma once

#include <cstdint>

namespace netrove {

enum class Intent {
  kNone,
  kStop,     // ESC, request 1
  kSkip,     // Space, request 2: end this wait (try now, redial)
  kSleep,    // S, request 3
  kLonger,   // "+"
  kShorter,  // "-"
  kTest,     // T, request 4: test the link now
};

// A key as ReadKey gives it (letters in either case).
Intent KeyIntent(int key);
// A ControlRequest value; unknown values are kNone.
Intent RequestIntent(uint8_t request);

}  // namespace netrove
