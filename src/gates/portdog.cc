#include "gates/portdog.h"

#include <mutex>
#include <optional>

#include "config/config.h"
#include "net/access.h"
#include "net/port_server.h"
#include "runtime/log.h"
#include "runtime/text.h"

namespace netrove {
namespace {

struct WatchList {
  std::mutex mu;
  std::vector<SocketVar> ports;  // guarded by mu
  bool running = false;          // guarded by mu
};

WatchList& Dog() {
  static WatchList dog;
  return dog;
}

// Every attempt is refused and reported, also one whose client has already
// gone again (a scanner's connect and reset): the address is read from the
// accepted socket, before anything else can fail.
uint32_t RefuseClient(SocketVar& client) {
  int fd = client.handle();
  uint32_t peer = GetPeerAddress(fd);
  uint16_t port = GetLocalPort(fd);
  if (peer != 0 && port != 0) WarnDeniedClient(DottedAddress(peer), port);
  CloseSocketVar(client);
  return 0;
}

}  // namespace

std::vector<std::string> PortDogEntries(const std::string& value) {
  std::string text;
  for (char c : value)
    if (c != ' ') text.push_back(c);
  if (text.empty()) return {};
  if (text.back() != ',') text.push_back(',');
  std::vector<std::string> entries;
  size_t start = 0;
  for (size_t comma = text.find(','); comma != std::string::npos;
       start = comma + 1, comma = text.find(',', start))
    entries.push_back(text.substr(start, comma - start));
  return entries;
}

void StartPortDog() {
  std::string value = CurrentConfig()->port_dog;
  WatchList& dog = Dog();
  std::lock_guard<std::mutex> lock(dog.mu);
  if (dog.running || value.empty()) return;
  for (const std::string& entry : PortDogEntries(value)) {
    SocketVar listener;
    if (std::optional<uint16_t> port = ParsePortNumber(entry); port && *port != 0)
      ListenTcp(*port, listener, RefuseClient, false);
    if (listener.handle() < 1) {
      Log("WARNING: port #" + entry + " busy???");
      continue;
    }
    Log("Dog on port #" + entry + " started");
    dog.ports.push_back(std::move(listener));
  }
  dog.running = !dog.ports.empty();
}

void StopPortDog() {
  std::vector<SocketVar> ports;
  {
    std::lock_guard<std::mutex> lock(Dog().mu);
    ports.swap(Dog().ports);
    Dog().running = false;
  }
  for (SocketVar& port : ports) CloseSocketVar(port);
}

bool PortDogRunning() {
  std::lock_guard<std::mutex> lock(Dog().mu);
  return Dog().running;
}

int WatchedPorts() {
  std::lock_guard<std::mutex> lock(Dog().mu);
  int n = 0;
  for (const SocketVar& port : Dog().ports) n += port.handle() >= 1 ? 1 : 0;
  return n;
}

}  // namespace netrove
