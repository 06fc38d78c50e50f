// The main entry: decides from the two command-line words which command
// form runs, and runs it.
#pragma once

#include <cstdint>
#include <string>

namespace netrove {

inline constexpr uint16_t kInterfaceNumber = 23;

// The usage text, one line per element, as printed.
extern const char* const kUsageLines[7];

class FrontEnd;

// The entry behind the export "0x01". One-shot forms end the process;
// otherwise it returns when the session has ended, with the program's
// RestartRequested flag (for the export "0x32"). The program attaches
// itself to `front_end` (when given) while it runs.
bool MainEntry(std::string connection, std::string argument, uint16_t interface_number,
               bool start_asleep, FrontEnd* front_end = nullptr);

}  // namespace netrove
