// A queue file through the reader: an accepted envelope is clean and reads
// back the same from the text the writer makes of it, with the same
// message; every message line is free of line ends.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mail/queue_file.h"

namespace {

bool Clean(const std::string& address) {
  if (address.empty() || address.size() > netrove::kMaxQueueAddress) return false;
  for (char c : address)
    if (static_cast<unsigned char>(c) < 32 || c == 127) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::optional<netrove::QueueFile> file = netrove::ParseQueueFile(text);
  if (!file) return 0;
  if (!Clean(file->sender) || file->recipients.empty() ||
      file->recipients.size() > netrove::kMaxQueueRecipients || file->body_offset > text.size())
    __builtin_trap();
  for (const std::string& r : file->recipients)
    if (!Clean(r)) __builtin_trap();
  const std::string_view message = std::string_view(text).substr(file->body_offset);
  const std::string again = netrove::QueueFileText(file->sender, file->recipients, message);
  std::optional<netrove::QueueFile> back = netrove::ParseQueueFile(again);
  if (!back || back->sender != file->sender || back->recipients != file->recipients ||
      std::string_view(again).substr(back->body_offset) != message)
    __builtin_trap();
  std::string_view rest = message, line;
  size_t count = 0;
  while (netrove::TakeQueueLine(rest, line)) {
    if (line.find_first_of("\r\n") != std::string_view::npos || ++count > message.size())
      __builtin_trap();
  }
  return 0;
}
