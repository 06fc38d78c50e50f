#include "mail/smtp_command.h"

#include <algorithm>
#include <cstdio>

#include "runtime/clock.h"
#include "runtime/text.h"

namespace netrove {

SmtpCommand SplitSmtpCommand(std::string_view line) {
  const size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return {UpperAscii(line), ""};
  return {UpperAscii(line.substr(0, blank)), std::string(line.substr(blank + 1))};
}

std::string ExtractAddress(std::string_view argument) {
  const size_t open = argument.find('<');
  if (open != std::string_view::npos) argument.remove_prefix(open + 1);
  return std::string(argument.substr(0, argument.find('>')));
}

bool IsPrintableAddress(std::string_view address) {
  return std::none_of(address.begin(), address.end(), [](char c) {
    return static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) == 127;
  });
}

std::string CleanHeloName(std::string_view argument) {
  std::string name;
  for (char c : argument)
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '@')
      name.push_back(c);
  return name;
}

void DedupRecipients(std::vector<std::string>& recipients) {
  std::stable_sort(
      recipients.begin(), recipients.end(),
      [](const std::string& a, const std::string& b) { return UpperAscii(a) < UpperAscii(b); });
  recipients.erase(
      std::unique(recipients.begin(), recipients.end(),
                  [](const std::string& a, const std::string& b) { return EqualsNoCase(a, b); }),
      recipients.end());
}

std::string SmtpDateText(int64_t local_seconds, int64_t zone_bias) {
  const int64_t minutes = (zone_bias < 0 ? -zone_bias : zone_bias) / 60 % (100 * 60);
  char zone[8];
  std::snprintf(zone, sizeof zone, "%c%02d%02d", zone_bias > 0 ? '+' : '-',
                static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
  return HeaderDateText(local_seconds, zone);
}

std::string ReceivedHeader(std::string_view helo_name, std::string_view client_ip,
                           std::string_view computer_name, std::string_view recipient,
                           std::string_view sender, int64_t local_seconds, int64_t zone_bias) {
  const std::string indent(10, ' ');
  std::string header = "Received: from ";
  if (!helo_name.empty()) header.append(helo_name).append(" ");
  header.append("[").append(client_ip).append("] by ").append(computer_name);
  header.append(" with SMTP\r").append(indent);
  if (!recipient.empty()) header.append("for <").append(recipient).append(">; ");
  header.append(SmtpDateText(local_seconds, zone_bias)).append("\r");
  header.append(indent).append("(envelope-from <").append(sender).append(">)\r");
  return header;
}

}  // namespace netrove
