#include "driver/forms.h"

#include "runtime/program.h"
#include "runtime/shared_state.h"

namespace netrove {
namespace {

[[noreturn]] void NotAvailable(const std::string& form) {
  FatalError(form + " is not available yet");
}

}  // namespace

void RunBreakForm(const std::string&) { NotAvailable("BREAK"); }
void RunAddForm(const std::string&) { NotAvailable("ADD"); }
void RunAutoDialRegistration(const std::string& upper_argument, const std::string&) {
  NotAvailable(upper_argument);
}
void PrepareAutoDial(const std::string&) { NotAvailable("AUTODIAL"); }

std::string LocalInterfaceDescription() { return std::string(); }
void StopSessionServices() {}

SessionOutcome RunSession(const std::string& upper_argument, bool) {
  if (upper_argument == "PROXY") NotAvailable("PROXY");
  NotAvailable("Dialing");
}

void FinishSession() {
  Shared().control_request = kRequestNone;
  Shared().status_text.Set("Aborted...");
}

}  // namespace netrove
