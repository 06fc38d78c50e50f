// The port watchdog (PORTDOG): listens on ports no real service uses and
// refuses every connection to them, logging "WARNING! <address> Access
// denied to port <port>" and appending "<address> #<port>" to
// access.ip.error.log. Logs "Dog on port #<p> started" per watched port and
// "WARNING: port #<p> busy???" for one that could not be bound.
//
// Thread safety: Start/Stop may be called from any task.
#pragma once

#include <string>
#include <vector>

namespace netrove {

// The port texts of a PORTDOG value: spaces removed, split at ",".
std::vector<std::string> PortDogEntries(const std::string& value);

// Nothing when already running or PORTDOG is empty.
void StartPortDog();
void StopPortDog();
bool PortDogRunning();
int WatchedPorts();

}  // namespace netrove
