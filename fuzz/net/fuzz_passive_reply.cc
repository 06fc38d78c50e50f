// The PASV reply parser on arbitrary server lines.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/ftp_passive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  auto target = netrove::ParsePassiveReply(line);
  if (target && (target->address.size() < 7 || target->address.size() > 15)) __builtin_trap();
  return 0;
}
