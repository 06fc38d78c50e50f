#include "driver/session_wiring.h"

#include "config/config.h"
#include "driver/forms.h"
#include "runtime/log.h"

namespace netrove {
namespace {

bool LinkCheckStandIn() {
  if (!CurrentConfig()->check_url.empty()) Log("Link check is not available yet");
  return true;
}

}  // namespace

bool FirstLinkTest() { return LinkCheckStandIn(); }
bool LinkTestNow() { return LinkCheckStandIn(); }
void StartLinkWatch() {}
void StopLinkWatch() {}
std::string ReadModemStatistics(const std::string&) { return std::string(); }
void AutoUpdateTick() {}
uint32_t AverageReceiveRate() { return 0; }
void ZeroTrafficCounters() {}
void EmptyFailedConnectCache() {}

SessionHooks WiredSessionHooks() {
  SessionHooks hooks;
  hooks.start_services = StartServices;
  hooks.stop_services = StopServices;
  hooks.first_link_test = FirstLinkTest;
  hooks.link_test = LinkTestNow;
  hooks.start_link_watch = StartLinkWatch;
  hooks.stop_link_watch = StopLinkWatch;
  hooks.read_modem_statistics = ReadModemStatistics;
  hooks.auto_update_tick = AutoUpdateTick;
  hooks.traffic_rate = AverageReceiveRate;
  hooks.zero_traffic_counters = ZeroTrafficCounters;
  hooks.empty_failed_connect_cache = EmptyFailedConnectCache;
  hooks.local_interface_description = LocalInterfaceDescription;
  return hooks;
}

}  // namespace netrove
