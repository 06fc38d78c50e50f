#include "net/access.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <mutex>

#include "net/address_match.h"
#include "runtime/log.h"
#include "runtime/rate_limit.h"

namespace netrove {
namespace {

std::mutex& DenialMutex() {
  static std::mutex* mu = new std::mutex;  // client tasks may report while the process exits
  return *mu;
}

RateLimiter& Refusals() {
  static RateLimiter* limiter = new RateLimiter;
  return *limiter;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Appends one line to the denial log. Caller holds DenialMutex().
void AppendDenial(const std::string& line) {
  int fd = open(kDenialLogName, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string text = line + "\n";
  (void)!write(fd, text.data(), text.size());
  close(fd);
}

AddressList& DialForList() {
  static AddressList list;
  return list;
}

AddressList& LocalHostsList() {
  static AddressList list;
  return list;
}

bool AnyEntryMatches(const AddressList& list, const std::string& client_dotted, uint16_t port) {
  auto contents = list.Snapshot();
  std::string client = client_dotted + ".";
  for (const std::string& entry : contents->entries)
    if (MatchAddressEntry(client, entry, port)) return true;
  return false;
}

}  // namespace

bool ClientAllowed(SocketVar& client, AddressList& list) {
  if (!client.is_open() || !IsConnectionAlive(client)) {
    CloseSocketVar(client);
    return false;
  }
  (void)ReloadAddressList(list);
  int fd = client.handle();
  return AnyEntryMatches(list, DottedAddress(GetPeerAddress(fd)), GetLocalPort(fd));
}

bool CheckClientOrDeny(SocketVar& client, AddressList& list) {
  if (ClientAllowed(client, list)) return true;
  if (client.is_open()) {
    int fd = client.handle();
    WarnDeniedClient(DottedAddress(GetPeerAddress(fd)), GetLocalPort(fd));
  }
  CloseSocketVar(client);
  return false;
}

bool ClientAllowedUdp(int udp_fd, const sockaddr_in& client, AddressList& list) {
  (void)ReloadAddressList(list);
  std::string dotted = DottedAddress(client.sin_addr.s_addr);
  uint16_t port = GetLocalPort(udp_fd);
  if (AnyEntryMatches(list, dotted, port)) return true;
  WarnDeniedClient(dotted, port);
  return false;
}

void WarnDeniedClient(const std::string& dotted_address, uint16_t local_port) {
  FlushRefusalSummaries();
  if (!Refusals().Admit(dotted_address, NowMs())) return;
  std::string port = std::to_string(local_port);
  {
    std::lock_guard<std::mutex> lock(DenialMutex());
    AppendDenial(dotted_address + " #" + port);
  }
  Log("WARNING! " + dotted_address + " Access denied to port " + port);
}

void WarnOverloadedClient(const std::string& dotted_address, uint16_t local_port) {
  FlushRefusalSummaries();
  if (!Refusals().Admit(dotted_address, NowMs())) return;
  Log("WARNING! " + dotted_address + " Too many connections to port " + std::to_string(local_port));
}

void WarnDroppedDatagram(const std::string& dotted_address, uint16_t local_port) {
  FlushRefusalSummaries();
  if (!Refusals().Admit(dotted_address, NowMs())) return;
  Log("WARNING! " + dotted_address + " UDP datagram to port " + std::to_string(local_port) +
      " dropped");
}

void FlushRefusalSummaries(bool all) {
  for (const RateLimiter::Summary& s : Refusals().TakeSummaries(NowMs(), all)) {
    std::string line = RateLimiter::SummaryText(s);
    {
      std::lock_guard<std::mutex> lock(DenialMutex());
      AppendDenial(line);
    }
    Log(line);
  }
}

bool IsDialForClient(SocketVar* client) {
  if (client == nullptr) return true;
  AddressList& list = DialForList();
  (void)LoadAddressList(kDialForListName, list, false);
  int fd = client->handle();
  if (fd < 1) return false;
  return AnyEntryMatches(list, DottedAddress(GetPeerAddress(fd)), GetLocalPort(fd));
}

bool IsLocalHostName(const std::string& name) {
  AddressList& list = LocalHostsList();
  (void)LoadAddressList(kLocalHostsListName, list, false);
  for (const std::string& entry : list.Snapshot()->entries)
    if (entry == name) return true;
  return false;
}

}  // namespace netrove
