// The host-text parsing of Connector::Connect.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/connect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto target = netrove::ParseHostText(text, 80);
  if (target &&
      (target->name.find('/') != std::string::npos || target->name.find(':') != std::string::npos))
    __builtin_trap();
  return 0;
}
