// The recipient of a fetched message: any bytes as the message; the result
// is upper case, one line, and part of the message.
#include <cstddef>
#include <cstdint>
#include <string>

#include "mail/pop3_fetcher.h"
#include "runtime/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string message(reinterpret_cast<const char*>(data), size);
  const std::string recipient = netrove::FindRecipient(message);
  if (recipient != netrove::UpperAscii(recipient) || recipient.size() > size ||
      recipient.find('\r') != std::string::npos)
    __builtin_trap();
  // Without a Received or To: header there is nothing to find.
  const std::string upper = netrove::UpperAscii(message);
  if (!recipient.empty() && !upper.starts_with("RECEIVED:") &&
      upper.find("TO:") == std::string::npos)
    __builtin_trap();
  return 0;
}
