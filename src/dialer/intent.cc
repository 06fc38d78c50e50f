#include "dialer/intent.h"

#include "dialer/session_io.h"
#include "runtime/shared_state.h"

namespace netrove {

Intent KeyIntent(int key) {
  switch (key) {
    case kKeyEsc:
      return Intent::kStop;
    case ' ':
      return Intent::kSkip;
    case 's':
    case 'S':
      return Intent::kSleep;
    case '+':
      return Intent::kLonger;
    case '-':
      return Intent::kShorter;
    case 't':
    case 'T':
      return Intent::kTest;
    default:
      return Intent::kNone;
  }
}

Intent RequestIntent(uint8_t request) {
  switch (request) {
    case kRequestStop:
      return Intent::kStop;
    case kRequestRedial:
      return Intent::kSkip;
    case kRequestSleep:
      return Intent::kSleep;
    case kRequestTestLink:
      return Intent::kTest;
    default:
      return Intent::kNone;
  }
}

}  // namespace netrove
