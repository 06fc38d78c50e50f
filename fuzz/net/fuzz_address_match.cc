// MatchAddressEntry and TimeWindowHoldsAt on arbitrary entries.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/address_match.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int weekday = data[0] % 7;
  const int minute = (data[1] * 256 + data[2]) % 1440;
  std::string entry(reinterpret_cast<const char*>(data + 3), size - 3);
  (void)netrove::TimeWindowHoldsAt(entry, weekday, minute);
  // A local time on the fuzzed weekday and minute (2 January 2024 was a Tuesday).
  const int64_t local = (19724LL + (weekday + 5) % 7) * 86400 + minute * 60;
  (void)netrove::MatchAddressEntry("192.168.0.77.", entry, static_cast<uint16_t>(minute), local);
  (void)netrove::MatchAddressEntry(entry + ".", "192.168.*", 80, local);
  return 0;
}
