// A POP3 request line through the preparation, both command splits, the
// number and line-count readers and the folder name.
#include <cstddef>
#include <cstdint>
#include <string>

#include "mail/mail_names.h"
#include "mail/pop3_command.h"
#include "runtime/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  std::string prepared = netrove::CollapseBlanks(line);
  if (prepared.find('\t') != std::string::npos || prepared.find("  ") != std::string::npos ||
      prepared.starts_with(' ') || prepared.ends_with(' '))
    __builtin_trap();
  netrove::Pop3Command auth = netrove::SplitAuthorisationCommand(prepared);
  netrove::Pop3Command cmd = netrove::SplitTransactionCommand(prepared);
  if (cmd.verb.find(' ') != std::string::npos || (!auth.blank && auth.verb.size() > 4))
    __builtin_trap();
  const std::string echo = netrove::EchoText(auth.argument);
  for (char c : echo)
    if (static_cast<unsigned char>(c) < 32) __builtin_trap();
  const uint16_t n = netrove::ParseMessageNumber(cmd.argument);
  if (n != 0 && std::to_string(n) != cmd.argument.substr(cmd.argument.find_first_not_of('0')))
    __builtin_trap();
  (void)netrove::ParseLineCount(cmd.argument);
  std::string folder = netrove::FolderComponent(cmd.argument);
  if (folder.find_first_of("/\\. ") != std::string::npos) __builtin_trap();
  return 0;
}
