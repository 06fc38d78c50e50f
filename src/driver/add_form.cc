// ADD [PROXY]: the console dialogue that appends a connection section to
// netrove.dat, and can add a new entry to the phonebook first.
#include <string>

#include "config/config.h"
#include "config/defaults.h"
#include "config/scrambler.h"
#include "dialer/entries.h"
#include "dialer/phonebook.h"
#include "dialer/remote_access.h"
#include "driver/forms.h"
#include "runtime/console.h"
#include "runtime/files.h"
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

// A question with a default answer: on a console the default stands
// already typed (Backspace edits it, Enter keeps it); a line of standard
// input that is empty keeps it.
std::string AskWithDefault(const std::string& prompt, const std::string& value) {
  ConsoleWrite(prompt);
  std::string line = CleanLine(ReadConsoleLine(value));
  return line.empty() && !ConsolePresent() ? value : line;
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

// The keys a command entry needs: how to dial, and how to tell that the
// link is up. False when the answers leave the entry unable to connect.
bool AskCommandKeys(NewEntry& entry) {
  ConsoleWriteLine("Programs bring the link up and down; they get the number, user and password");
  ConsoleWriteLine(
      "in NETROVE_PHONE, NETROVE_USER and NETROVE_PASSWORD (never on their command line).");
  std::string dial = Ask("Dial command (e.g. /usr/bin/pon isp): ");
  std::string hangup = Ask("Hangup command (e.g. /usr/bin/poff isp): ");
  ConsoleWriteLine("The link counts as up while a network interface exists, or while a status");
  ConsoleWriteLine("command exits with 0.");
  std::string ifname = Ask("Interface (e.g. ppp0; Enter for a status command instead): ");
  std::string status = ifname.empty() ? Ask("Status command: ") : std::string();
  if (dial.empty() || (ifname.empty() && status.empty())) {
    ConsoleWriteLine(
        "Error: a command entry needs a dial command, and an interface or a status "
        "command, or it can never come up; nothing was added.");
    return false;
  }
  for (auto [key, value] : {std::pair<const char*, std::string>{"DialCommand", dial},
                            {"HangupCommand", hangup},
                            {"Interface", ifname},
                            {"StatusCommand", status}})
    if (!value.empty()) entry.device_keys.emplace_back(key, value);
  return true;
}

// Asks for the device and number of a new phonebook entry and writes it.
// True when the entry was added.
bool CreatePhonebookEntry(const std::string& name) {
  std::string book = PhonebookPath();
  ConsoleWriteLine("New entry \"" + name + "\" of the phonebook " + book + ".");
  ConsoleWriteLine("Device sim is a simulated modem for trying things out; command runs programs");
  ConsoleWriteLine("that bring a real link up (pppd, NetworkManager).");
  NewEntry entry;
  entry.name = name;
  entry.device = Ask("Device (sim/command; Enter for sim): ");
  if (entry.device.empty()) entry.device = "sim";
  if (UpperAscii(entry.device) != "SIM" && UpperAscii(entry.device) != "COMMAND") {
    ConsoleWriteLine("Error: the device is sim or command; nothing was added.");
    return false;
  }
  entry.phone = Ask("Phone number (handed to the dial command; Enter for none): ");
  if (UpperAscii(entry.device) == "COMMAND") {
    if (!AskCommandKeys(entry)) return false;
  } else {
    entry.device_keys.emplace_back("Answer", "connect");
  }
  if (SystemRemoteAccess()->CreateEntry(entry) != 0) {
    ConsoleWriteLine("Error: can't add " + name + " to the phonebook " + book);
    return false;
  }
  return true;
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
    // Carry on with the entry just made (asking the name again would only
    // puzzle); when it could not be made, ask again.
    if (CreatePhonebookEntry(name)) break;
  }

  name = ResolveEntryName(name);
  EntryDefaults defaults = LoadEntryDefaults(name).value_or(EntryDefaults{});
  bool use_defaults = false;
  if (!defaults.user.empty() && !defaults.password.empty())
    use_defaults = AskYesNo("Use default connection UserName/Password/Domain? (Y/n) ");

  if (proxy) {
    defaults.user = kProxyUserName;
  } else if (!use_defaults) {
    defaults.phone = AskWithDefault("Phone     : ", defaults.phone);
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

  // The whole file is written anew (temporary file, rename), never
  // appended to in place: a full disk leaves the old file as it was.
  std::optional<std::string> text = ReadWholeFile(path);
  if (!text || !WriteFileAtomically(path, *text + section, 0600, /*keep_mode=*/false))
    FatalError("Can't write Netrove.dat file.");
  ConsoleClearScreen();
  ConsoleWriteLine("Base updated.");
  HaltProgram(0);
}

}  // namespace netrove
