#include "mail/queue_file.h"

#include "mail/smtp_command.h"

namespace netrove {

namespace {

bool UsableAddress(std::string_view address) {
  return !address.empty() && address.size() <= kMaxQueueAddress && IsPrintableAddress(address);
}

}  // namespace

bool TakeQueueLine(std::string_view& rest, std::string_view& line) {
  if (rest.empty()) return false;
  const size_t end = rest.find_first_of("\r\n");
  if (end == std::string_view::npos) {
    line = rest;
    rest = {};
    return true;
  }
  line = rest.substr(0, end);
  const size_t skip = rest.substr(end).starts_with("\r\n") ? 2 : 1;
  rest.remove_prefix(end + skip);
  return true;
}

std::optional<QueueFile> ParseQueueFile(std::string_view text) {
  if (text.size() > kMaxQueueFileBytes || text.find('\0') != std::string_view::npos)
    return std::nullopt;
  std::string_view rest = text, line;
  if (!TakeQueueLine(rest, line) || !UsableAddress(line)) return std::nullopt;
  QueueFile file;
  file.sender = std::string(line);
  for (;;) {
    // A file that ends inside the envelope lacks its message: refused.
    if (!TakeQueueLine(rest, line)) return std::nullopt;
    if (line.empty()) break;
    if (!UsableAddress(line) || file.recipients.size() == kMaxQueueRecipients) return std::nullopt;
    file.recipients.emplace_back(line);
  }
  if (file.recipients.empty()) return std::nullopt;
  file.body_offset = text.size() - rest.size();
  return file;
}

std::string QueueFileText(std::string_view sender, const std::vector<std::string>& recipients,
                          std::string_view message) {
  std::string text;
  text.append(sender).push_back('\r');
  for (const std::string& r : recipients) text.append(r).push_back('\r');
  // A lone CR before an LF would read as one CR LF end and eat the LF.
  text.append(message.starts_with('\n') ? "\r\n" : "\r");
  text.append(message);
  return text;
}

}  // namespace netrove
