#include "driver/forms.h"

#include "net/resolver.h"
#include "runtime/program.h"
#include "runtime/shared_state.h"

namespace netrove {
namespace {

[[noreturn]] void NotAvailable(const std::string& form) {
  FatalError(form + " is not available yet");
}

}  // namespace

void RunAutoDialRegistration(const std::string& upper_argument, const std::string&) {
  NotAvailable(upper_argument);
}
void PrepareAutoDial(const std::string&) { NotAvailable("AUTODIAL"); }

std::string LocalInterfaceDescription() { return LocalInterfaceAddressText(); }

}  // namespace netrove
