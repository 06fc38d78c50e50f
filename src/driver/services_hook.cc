// Start and stop of the gateway services: nothing to start until the
// network layer's service start-up is wired here.
#include "driver/session_wiring.h"

namespace netrove {

void StartServices() {}
void StopServices() {}

}  // namespace netrove
