#include "gates/portdog.h"

#include <optional>

#include "runtime/text.h"

namespace netrove {

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

void PortDog::Start() {
  std::string value = config_.Current()->port_dog;
  Access& access = network_.access();
  // Every attempt is refused and reported, also one whose client has
  // already gone again (a scanner's connect and reset): the address is
  // read from the accepted socket, before anything else can fail.
  auto refuse = [&access](SocketVar& client) -> uint32_t {
    int fd = client.handle();
    uint32_t peer = GetPeerAddress(fd);
    uint16_t port = GetLocalPort(fd);
    if (peer != 0 && port != 0) access.WarnDeniedClient(DottedAddress(peer), port);
    CloseSocketVar(client);
    return 0;
  };
  std::lock_guard<std::mutex> lock(mu_);
  if (running_ || value.empty()) return;
  for (const std::string& entry : PortDogEntries(value)) {
    SocketVar listener;
    if (std::optional<uint16_t> port = ParsePortNumber(entry); port && *port != 0)
      network_.ports().ListenTcp(*port, listener, refuse, false);
    if (listener.handle() < 1) {
      log_.Write("WARNING: port #" + entry + " busy???");
      continue;
    }
    log_.Write("Dog on port #" + entry + " started");
    ports_.push_back(std::move(listener));
  }
  running_ = !ports_.empty();
}

void PortDog::Stop() {
  std::vector<SocketVar> ports;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ports.swap(ports_);
    running_ = false;
  }
  for (SocketVar& port : ports) CloseSocketVar(port);
}

bool PortDog::Running() const {
  std::lock_guard<std::mutex> lock(mu_);
  return running_;
}

}  // namespace netrove
