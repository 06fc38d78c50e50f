// The library's exported entry points. Everything else is hidden.
#include <atomic>
#include <cstdint>
#include <string>

#include "driver/entry.h"
#include "netrove/netrove.h"

namespace {

// RestartRequested of the last session, for the front-end to read after
// "0x01" has returned (the program context is gone by then).
std::atomic<bool> restart_requested{false};

std::string FromPascal(const unsigned char* text) {
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text + 1), text[0]);
}

// The exported symbols' names are not valid assembler identifiers unless
// quoted, and the compiler's split-off ".cold" parts of a function cannot be
// named after a quoted symbol; so the exports only forward to these.
__attribute__((noinline)) void CallMain(const unsigned char* connection,
                                        const unsigned char* argument, uint16_t interface_number,
                                        uint8_t start_asleep) {
  restart_requested = netrove::MainEntry(FromPascal(connection), FromPascal(argument),
                                         interface_number, start_asleep != 0);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void NetroveMain(const unsigned char* connection,
                                                        const unsigned char* argument,
                                                        uint16_t interface_number,
                                                        uint8_t start_asleep) __asm__("\"0x01\"");

void NetroveMain(const unsigned char* connection, const unsigned char* argument,
                 uint16_t interface_number, uint8_t start_asleep) {
  CallMain(connection, argument, interface_number, start_asleep);
}

__attribute__((visibility("default"))) uint8_t NetroveRestartRequested() __asm__("\"0x32\"");

uint8_t NetroveRestartRequested() { return restart_requested.load() ? 1 : 0; }

}  // extern "C"
