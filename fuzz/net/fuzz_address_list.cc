// The list loader's parsing, then every entry through the matcher.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/address_list.h"
#include "net/address_match.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  netrove::ParsedList parsed = netrove::ParseListText(text, (size & 1) != 0);
  for (const std::string& entry : parsed.entries) {
    if (entry.size() > 255 || entry.empty()) __builtin_trap();
    (void)netrove::MatchAddressEntry("10.0.0.5.", entry, 3128, 1704153600);
  }
  return 0;
}
