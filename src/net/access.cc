#include "net/access.h"

#include "net/address_match.h"

namespace netrove {

void Access::AppendDenial(const std::string& line) {
  std::lock_guard<std::mutex> lock(denial_mu_);
  (void)AppendToFile(env_, kDenialLogName, line + "\n", 0644);
}

bool Access::AnyEntryMatches(const AddressList& list, const std::string& client_dotted,
                             uint16_t port) {
  auto contents = list.Snapshot();
  std::string client = client_dotted + ".";
  const int64_t now = env_.LocalSeconds();
  for (const std::string& entry : contents->entries)
    if (MatchAddressEntry(client, entry, port, now)) return true;
  return false;
}
bool Access::ClientAllowed(SocketVar& client, AddressList& list) {
  if (!client.is_open() || !IsConnectionAlive(client)) {
    CloseSocketVar(client);
    return false;
  }
  (void)ReloadAddressList(env_, log_, list);
  int fd = client.handle();
  return AnyEntryMatches(list, DottedAddress(GetPeerAddress(fd)), GetLocalPort(fd));
}

bool Access::CheckClientOrDeny(SocketVar& client, AddressList& list) {
  if (ClientAllowed(client, list)) return true;
  if (client.is_open()) WarnDeniedClient(client);
  CloseSocketVar(client);
  return false;
}

bool Access::ClientAllowedUdp(int udp_fd, const sockaddr_in& client, AddressList& list) {
  (void)ReloadAddressList(env_, log_, list);
  std::string dotted = DottedAddress(client.sin_addr.s_addr);
  uint16_t port = GetLocalPort(udp_fd);
  if (AnyEntryMatches(list, dotted, port)) return true;
  WarnDeniedClient(dotted, port);
  return false;
}

void Access::WarnDeniedClient(const SocketVar& client) {
  const int fd = client.handle();
  WarnDeniedClient(DottedAddress(GetPeerAddress(fd)), GetLocalPort(fd));
}

void Access::WarnDeniedClient(const std::string& dotted_address, uint16_t local_port) {
  FlushRefusalSummaries();
  if (!refusals_.Admit(dotted_address, env_.MonotonicMs())) return;
  std::string port = std::to_string(local_port);
  AppendDenial(dotted_address + " #" + port);
  log_.Write("WARNING! " + dotted_address + " Access denied to port " + port);
}

void Access::WarnOverloadedClient(const std::string& dotted_address, uint16_t local_port) {
  FlushRefusalSummaries();
  if (!refusals_.Admit(dotted_address, env_.MonotonicMs())) return;
  log_.Write("WARNING! " + dotted_address + " Too many connections to port " +
             std::to_string(local_port));
}

void Access::WarnDroppedDatagram(const std::string& dotted_address, uint16_t local_port) {
  FlushRefusalSummaries();
  if (!refusals_.Admit(dotted_address, env_.MonotonicMs())) return;
  log_.Write("WARNING! " + dotted_address + " UDP datagram to port " + std::to_string(local_port) +
             " dropped");
}

void Access::FlushRefusalSummaries(bool all) {
  for (const RateLimiter::Summary& s : refusals_.TakeSummaries(env_.MonotonicMs(), all)) {
    std::string line = RateLimiter::SummaryText(s);
    AppendDenial(line);
    log_.Write(line);
  }
}

bool Access::IsDialForClient(SocketVar* client) {
  if (client == nullptr) return true;
  (void)LoadAddressList(env_, log_, kDialForListName, dial_for_, false);
  int fd = client->handle();
  if (fd < 1) return false;
  return AnyEntryMatches(dial_for_, DottedAddress(GetPeerAddress(fd)), GetLocalPort(fd));
}

bool Access::IsLocalHostName(const std::string& name) {
  (void)LoadAddressList(env_, log_, kLocalHostsListName, local_hosts_, false);
  for (const std::string& entry : local_hosts_.Snapshot()->entries)
    if (entry == name) return true;
  return false;
}

}  // namespace netrove
