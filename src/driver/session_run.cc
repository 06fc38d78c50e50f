// Steps 14 to 19 of the main entry: start the services, run proxy mode or
// the dial session, and stop.
#include "accounting/clock.h"
#include "dialer/dial.h"
#include "driver/forms.h"
#include "driver/session.h"
#include "driver/session_wiring.h"
#include "runtime/log.h"
#include "runtime/shared_state.h"

namespace netrove {

SessionOutcome RunSession(const std::string& upper_argument, bool start_asleep) {
  Dialer& dialer = TheDialer();
  dialer.SetHooks(WiredSessionHooks());
  std::shared_ptr<const SessionHooks> hooks = dialer.hooks();
  Log("Starting services");
  hooks->start_accounting(NowSeconds());
  hooks->start_halt_service();
  hooks->start_services();
  if (upper_argument == "AUTODIAL") PrepareAutoDial(Shared().connection_arg.Get());
  dialer.PrepareForSession();
  SessionController controller(dialer);
  if (upper_argument == "PROXY") return controller.RunProxyMode();
  return controller.RunDialSession(start_asleep);
}

void FinishSession() {
  Dialer& dialer = TheDialer();
  Log("Stop services");
  dialer.HangUp();
  dialer.hooks()->stop_services();
  Shared().control_request = kRequestNone;
  Shared().status_text.Set("Aborted...");
  dialer.HangUp();
}

void StopSessionServices() {
  std::shared_ptr<const SessionHooks> hooks = TheDialer().hooks();
  hooks->stop_halt_service();
  hooks->stop_services();
}

}  // namespace netrove
