// BREAK <name>: hangs up the matching connections of any process.
#include "dialer/dial.h"
#include "driver/forms.h"
#include "runtime/program.h"

namespace netrove {

void RunBreakForm(const std::string& name) {
  TheDialer().BreakConnections(name);
  HaltProgram(0);
}

}  // namespace netrove
