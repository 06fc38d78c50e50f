// An SMTP command line through the command split, the address extraction,
// the HELO cleaning and the Received header built from what they give.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "mail/smtp_command.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  const netrove::SmtpCommand command = netrove::SplitSmtpCommand(line);
  if (command.word.find(' ') != std::string::npos ||
      command.word.size() + command.argument.size() + (line.find(' ') != std::string::npos) !=
          line.size())
    __builtin_trap();
  const std::string address = netrove::ExtractAddress(command.argument);
  if (address.size() > command.argument.size() || address.find('>') != std::string::npos)
    __builtin_trap();
  const std::string helo = netrove::CleanHeloName(command.argument);
  for (char c : helo)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '@'))
      __builtin_trap();
  std::vector<std::string> recipients = {address, helo, command.word, address};
  netrove::DedupRecipients(recipients);
  if (recipients.size() > 3) __builtin_trap();
  int64_t when = 0;
  if (size >= 8) std::memcpy(&when, data, sizeof when);
  when %= 400000000000;  // within some ten thousand years of 1970
  const std::string header = netrove::ReceivedHeader(helo, "10.0.0.1", "gw", address, address, when,
                                                     static_cast<int64_t>(size) * 900 - 50400);
  if (netrove::IsPrintableAddress(address) && std::count(header.begin(), header.end(), '\r') != 3)
    __builtin_trap();
  return 0;
}
