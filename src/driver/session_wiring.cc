#include "driver/session_wiring.h"

#include "accounting/accounting.h"
#include "accounting/link_check.h"
#include "accounting/statistics.h"
#include "config/config.h"
#include "dialer/dial.h"
#include "dialer/events.h"
#include "driver/forms.h"
#include "net/connect.h"
#include "net/socket.h"
#include "runtime/log.h"

namespace netrove {

bool FirstLinkTest() { return checks::CheckUrl(CurrentConfig()->check_url, true); }
bool LinkTestNow() { return checks::CheckUrl(CurrentConfig()->check_url, false); }
std::string ReadModemStatistics(const std::string&) { return std::string(); }
void AutoUpdateTick() {}
uint32_t AverageReceiveRate() { return Traffic().average_rate.load(); }
void ZeroTrafficCounters() { ResetTrafficCounters(); }
void EmptyFailedConnectCache() { ClearFailedConnectCache(); }

void WireProgramParts() {
  ConfigHooks config_hooks = EventHooks();
  // A configuration reset keeps the link up at exit until a session starts.
  config_hooks.session_reset = [] { TheDialer().set_keep_link(true); };
  SetConfigHooks(std::move(config_hooks));
  SetAbortProgram([] { AbortProgram(); });
  SetHangUp([] { HangUp(); });
  SetCheckUrlService(checks::StartCheckUrlTask);
}

SessionHooks WiredSessionHooks() {
  SessionHooks hooks;
  hooks.fire_event = FireEvent;
  hooks.reset_event_counts = ResetEventCounts;
  hooks.run_program_list = RunProgramList;
  hooks.create_flag_file = CreateFlagFile;
  hooks.delete_flag_file = [](const std::string& name) { (void)DeleteFlagFile(name); };
  hooks.start_accounting = StartAccounting;
  hooks.account = Account;
  hooks.end_accounting = EndAccounting;
  hooks.select_tariff = SelectTariff;
  hooks.save_statistics = SaveStatistics;
  hooks.start_halt_service = StartHaltService;
  hooks.stop_halt_service = StopHaltService;
  hooks.start_services = StartServices;
  hooks.stop_services = StopServices;
  hooks.first_link_test = FirstLinkTest;
  hooks.link_test = LinkTestNow;
  hooks.start_link_watch = checks::StartLinkWatch;
  hooks.stop_link_watch = checks::StopLinkWatch;
  hooks.read_modem_statistics = ReadModemStatistics;
  hooks.auto_update_tick = AutoUpdateTick;
  hooks.traffic_rate = AverageReceiveRate;
  hooks.zero_traffic_counters = ZeroTrafficCounters;
  hooks.empty_failed_connect_cache = EmptyFailedConnectCache;
  hooks.local_interface_description = LocalInterfaceDescription;
  return hooks;
}

}  // namespace netrove
