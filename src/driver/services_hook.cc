// Start and stop of the gateway services: the network layer's service
// start-up (net/services.h).
#include "driver/session_wiring.h"
#include "net/services.h"

namespace netrove {

void StartServices() { services::StartServices(); }
void StopServices() { services::StopServices(); }

}  // namespace netrove
