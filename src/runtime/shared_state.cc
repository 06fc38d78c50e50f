#include "runtime/shared_state.h"

namespace netrove {

SharedState& Shared() {
  static SharedState state;
  return state;
}

}  // namespace netrove
