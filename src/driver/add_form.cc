// ADD [PROXY]: the console dialogue that appends a connection section to
// netrove.dat, and can add a new entry to the phonebook first.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "config/config.h"
#include "config/defaults.h"
#include "config/scrambler.h"
#include "dialer/entries.h"
#include "dialer/phonebook.h"
#include "dialer/remote_access.h"
#include "driver/forms.h"
#include "runtime/console.h"
#include "runtime/program.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr int kKeyEnter = 13;
constexpr int kMaxSilentReads = 100;

// Control characters would break the line structure of the files written.
std::string CleanLine(const std::string& s) {
  std::string out;
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 32 && c != 127) out += c;
  return Trim(out);
}

std::string Ask(const std::string& prompt) {
  ConsoleWrite(prompt);
  return CleanLine(ReadConsoleLine());
}

// A Y/n question: keys until Enter, Y or N (Enter is Yes); prints the
// answer. Without a console the answer is a line of standard input.
bool AskYesNo(const std::string& question) {
  ConsoleWrite(question);
  bool yes = false;
  if (!ConsolePresent()) {
    std::string line = CleanLine(ReadConsoleLine());
    yes = line.empty() || line[0] == 'Y' || line[0] == 'y';
  } else {
    int silent = 0;
    for (;;) {
      int key = ReadKey();
      if (key >= 'a' && key <= 'z') key -= 'a' - 'A';
      if (key == kKeyEnter || key == '\n' || key == 'Y') {
        yes = true;
        break;
      }
      if (key == 'N') break;
      if (key == 0 && ++silent >= kMaxSilentReads) break;  // input gone: No
    }
  }
  ConsoleWriteLine(yes ? "Yes" : "No");
  return yes;
}

// Asks for the device and number of a new phonebook entry and writes it.
void CreatePhonebookEntry(const std::string& name) {
  NewEntry entry;
  entry.name = name;
  entry.device = Ask("Device (sim/command): ");
  if (entry.device.empty()) entry.device = "sim";
  entry.phone = Ask("Phone number: ");
  if (UpperAscii(entry.device) == "COMMAND") {
    entry.device_keys.emplace_back("DialCommand", Ask("Dial command: "));
    entry.device_keys.emplace_back("HangupCommand", Ask("Hangup command: "));
    entry.device_keys.emplace_back("Interface", Ask("Interface (e.g. ppp0): "));
    std::erase_if(entry.device_keys, [](const auto& kv) { return kv.second.empty(); });
  } else {
    entry.device_keys.emplace_back("Answer", "connect");
  }
  if (SystemRemoteAccess()->CreateEntry(entry) != 0)
    ConsoleWriteLine("Error: can't add " + name + " to the phonebook " + PhonebookPath());
}

}  // namespace

void RunAddForm(const std::string& upper_argument) {
  bool proxy = upper_argument == "PROXY";
  std::string dir = ProgramDirectory();
  std::string path = dir + (dir == "/" ? "" : "/") + kConfigFileName;
  if (!CreateDefaultConfigFileAt(path, /*for_add=*/true))
    FatalError("Can't create Netrove.dat file.");

  ConsoleClearScreen();
  std::string name;
  for (;;) {
    name = Ask("Connection: ");
    if (name.empty()) HaltProgram(0);
    if (!ValidEntryName(name)) {
      ConsoleWriteLine("Error: a connection name can't hold \"[\" or \"]\"");
      HaltProgram(0);
    }
    if (proxy || EntryExists(name)) break;
    ConsoleWriteLine("Sorry, connection name not found");
    if (!AskYesNo("Create new entry in phonebook connection? (Y/n) ")) HaltProgram(0);
    CreatePhonebookEntry(name);
  }

  name = ResolveEntryName(name);
  EntryDefaults defaults = LoadEntryDefaults(name).value_or(EntryDefaults{});
  bool use_defaults = false;
  if (!defaults.user.empty() && !defaults.password.empty())
    use_defaults = AskYesNo("Use default connection UserName/Password/Domain? (Y/n) ");

  if (proxy) {
    defaults.user = kProxyUserName;
  } else if (!use_defaults) {
    defaults.phone = Ask("Phone     : ");
    defaults.domain = Ask("Domain    : ");
    defaults.user = Ask("User name : ");
    defaults.password = Ask("Password  : ");
    if (defaults.user.empty() || defaults.password.empty()) HaltProgram(0);
  }

  std::string section = "\n[" + name + "]\n";
  section += proxy ? ";Connection for PROXY\n" : ";Connection " + name + "\n";
  section += "User " + defaults.user + "\n";
  section += "Password " + ScramblePassword(name, defaults.user, defaults.password) + "\n";
  section += defaults.domain.empty() ? ";Domain default\n" : "Domain " + defaults.domain + "\n";
  if (!defaults.phone.empty()) section += "Phone " + defaults.phone + "\n";
  WriteDefaultContent(section, ";", /*with_comments=*/false);

  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) FatalError("Can't create Netrove.dat file.");
  fchmod(fd, 0600);  // it holds a password now
  size_t done = 0;
  while (done < section.size()) {
    ssize_t n = write(fd, section.data() + done, section.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = done == section.size() && fsync(fd) == 0;
  close(fd);
  if (!ok) FatalError("Can't write Netrove.dat file.");
  ConsoleClearScreen();
  ConsoleWriteLine("Base updated.");
  HaltProgram(0);
}

}  // namespace netrove
