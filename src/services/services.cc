#include "net/services.h"

#include <arpa/inet.h>

#include <algorithm>

#include "config/config.h"
#include "gates/portdog.h"
#include "gates/portmap.h"
#include "net/access.h"
#include "net/resolver.h"
#include "runtime/log.h"

namespace netrove::services {
namespace {

std::vector<const ServiceRow*> InStopOrder(std::span<const ServiceRow> rows) {
  std::vector<const ServiceRow*> order;
  for (const ServiceRow& row : rows) order.push_back(&row);
  std::stable_sort(order.begin(), order.end(), [](const ServiceRow* a, const ServiceRow* b) {
    return a->stop_position < b->stop_position;
  });
  return order;
}

// A row for services that log their own lines and always run their start.
ServiceRow SelfLoggingRow(int start_position, int stop_position, void (*start)(), void (*stop)()) {
  ServiceRow row;
  row.start_position = start_position;
  row.stop_position = stop_position;
  row.start = [start](const ConfigRecord&) -> std::optional<bool> {
    start();
    return std::nullopt;
  };
  row.stop = stop;
  return row;
}

bool IsLoopback(uint32_t network_order) { return (ntohl(network_order) >> 24) == 127; }

}  // namespace

std::vector<ServiceRow> DefaultServiceTable() {
  // Start order: proxy 1, FTP gate 2, SOCKS 3, POP3 gate 4, POP3 server 5,
  // NNTP gate 6, SMTP server 7, TCP mappings 8, UDP mappings 9, watchdog 10.
  // Stop order: proxy 1, POP3 and NNTP gates 2, SMTP server 3, SOCKS and
  // FTP gate 4, mappings 5, watchdog 6, POP3 server 7.
  return {
      SelfLoggingRow(8, 5, StartTcpMappings, StopTcpMappings),
      SelfLoggingRow(9, 5, StartUdpMappings, StopUdpMappings),
      SelfLoggingRow(10, 6, StartPortDog, StopPortDog),
  };
}

void ReportServiceStart(bool started, const std::string& log_name) {
  Log(std::string(started ? "" : "!NOT! ") + log_name + " server started");
}

std::string LoopbackNotice(const std::string& address_text) {
  return "Hidden services listen on loopback " + address_text +
         " only; set IPINTERFACENAME to the LAN address to serve the network";
}

void StartServiceTable(std::span<const ServiceRow> rows, const ConfigRecord& config) {
  std::vector<const ServiceRow*> order;
  for (const ServiceRow& row : rows) order.push_back(&row);
  std::stable_sort(order.begin(), order.end(), [](const ServiceRow* a, const ServiceRow* b) {
    return a->start_position < b->start_position;
  });
  for (const ServiceRow* row : order) {
    if (!row->start) continue;
    std::optional<bool> started = row->start(config);
    if (started && !row->log_name.empty()) ReportServiceStart(*started, row->log_name);
  }
}

void StopServiceTable(std::span<const ServiceRow> rows) {
  for (const ServiceRow* row : InStopOrder(rows))
    if (row->stop) row->stop();
}

void StartServices() {
  Log(kSocketLayerText);
  std::string address = LocalInterfaceAddressText();
  Log("Main host: " + LocalInterfaceName() + " [" + address + "]");
  if (IsLoopback(LocalInterfaceAddress())) Log(LoopbackNotice(address));
  std::shared_ptr<const ConfigRecord> config = CurrentConfig();
  StartServiceTable(DefaultServiceTable(), *config);
}

void StopServices() {
  StopServiceTable(DefaultServiceTable());
  FlushRefusalSummaries(true);
}

bool StartListenerService(SocketVar& listener, uint16_t port, bool hidden,
                          std::span<const std::string> list_files, AddressList& list,
                          TcpHandler handler) {
  if (listener.handle() >= 1) return true;
  bool readable = false;
  for (const std::string& file : list_files) {
    if (LoadAddressList(file, list, true)) {
      readable = true;
      break;
    }
  }
  if (!readable) return false;
  ListenTcp(port, listener, std::move(handler), hidden);
  return listener.handle() >= 1;
}

}  // namespace netrove::services
