// ADD [PROXY]: the console dialogue that appends a connection section to
// netrove.dat, and can add a new entry to the phonebook first.
#include <string>

#include "config/defaults.h"
#include "config/scrambler.h"
#include "dialer/entries.h"
#include "driver/forms.h"
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

// The dialogue's questions on the console.
class Dialogue {
 public:
  explicit Dialogue(ProgramContext& p) : p_(p), c_(p.console) {}

  std::string Ask(const std::string& prompt) {
    c_.Write(prompt);
    return CleanLine(c_.ReadLine());
  }

  // A question with a default answer: on a console the default stands
  // already typed (Backspace edits it, Enter keeps it); a line of standard
  // input that is empty keeps it.
  std::string AskWithDefault(const std::string& prompt, const std::string& value) {
    c_.Write(prompt);
    std::string line = CleanLine(c_.ReadLine(value));
    return line.empty() && !c_.Present() ? value : line;
  }

  bool AskYesNo(const std::string& question);
  bool AskCommandKeys(NewEntry& entry);
  bool CreatePhonebookEntry(const std::string& name);
  void Say(const std::string& line) { c_.WriteLine(line); }

 private:
  ProgramContext& p_;
  Console& c_;
};

// A Y/n question: keys until Enter, Y or N (Enter is Yes); prints the
// answer. Without a console the answer is a line of standard input.
bool Dialogue::AskYesNo(const std::string& question) {
  c_.Write(question);
  bool yes = false;
  if (!c_.Present()) {
    std::string line = CleanLine(c_.ReadLine());
    yes = line.empty() || line[0] == 'Y' || line[0] == 'y';
  } else {
    int silent = 0;
    for (;;) {
      int key = c_.ReadKey();
      if (key >= 'a' && key <= 'z') key -= 'a' - 'A';
      if (key == kKeyEnter || key == '\n' || key == 'Y') {
        yes = true;
        break;
      }
      if (key == 'N') break;
      if (key == 0 && ++silent >= kMaxSilentReads) break;  // input gone: No
    }
  }
  c_.WriteLine(yes ? "Yes" : "No");
  return yes;
}

// The keys a command entry needs: how to dial, and how to tell that the
// link is up. False when the answers leave the entry unable to connect.
bool Dialogue::AskCommandKeys(NewEntry& entry) {
  Say("Programs bring the link up and down; they get the number, user and password");
  Say("in NETROVE_PHONE, NETROVE_USER and NETROVE_PASSWORD (never on their command line).");
  std::string dial = Ask("Dial command (e.g. /usr/bin/pon isp): ");
  std::string hangup = Ask("Hangup command (e.g. /usr/bin/poff isp): ");
  Say("The link counts as up while a network interface exists, or while a status");
  Say("command exits with 0.");
  std::string ifname = Ask("Interface (e.g. ppp0; Enter for a status command instead): ");
  std::string status = ifname.empty() ? Ask("Status command: ") : std::string();
  if (dial.empty() || (ifname.empty() && status.empty())) {
    Say("Error: a command entry needs a dial command, and an interface or a status "
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
bool Dialogue::CreatePhonebookEntry(const std::string& name) {
  std::string book = p_.ras.phonebook_path();
  Say("New entry \"" + name + "\" of the phonebook " + book + ".");
  Say("Device sim is a simulated modem for trying things out; command runs programs");
  Say("that bring a real link up (pppd, NetworkManager).");
  NewEntry entry;
  entry.name = name;
  entry.device = Ask("Device (sim/command; Enter for sim): ");
  if (entry.device.empty()) entry.device = "sim";
  if (UpperAscii(entry.device) != "SIM" && UpperAscii(entry.device) != "COMMAND") {
    Say("Error: the device is sim or command; nothing was added.");
    return false;
  }
  entry.phone = Ask("Phone number (handed to the dial command; Enter for none): ");
  if (UpperAscii(entry.device) == "COMMAND") {
    if (!AskCommandKeys(entry)) return false;
  } else {
    entry.device_keys.emplace_back("Answer", "connect");
  }
  if (p_.ras.CreateEntry(entry) != 0) {
    Say("Error: can't add " + name + " to the phonebook " + book);
    return false;
  }
  return true;
}

}  // namespace

bool AddSectionToConfig(Env& env, const std::string& path, const std::string& section) {
  // The whole file is written anew (temporary file, rename), never
  // appended to in place: a full disk leaves the old file as it was.
  std::optional<std::string> text = env.ReadFile(path, 1u << 20);
  return text && WriteFileAtomically(env, path, *text + section, 0600, /*keep_mode=*/false);
}

void RunAddForm(ProgramContext& p, const std::string& upper_argument) {
  bool proxy = upper_argument == "PROXY";
  std::string path = InProgramDirectory(kConfigFileName);
  if (!CreateDefaultConfigFileAt(p.env, path, /*for_add=*/true))
    p.Fatal("Can't create Netrove.dat file.");

  Dialogue d(p);
  p.console.ClearScreen();
  std::string name;
  for (;;) {
    name = d.Ask("Connection: ");
    if (name.empty()) HaltProgram(0);
    if (!ValidEntryName(name)) {
      d.Say("Error: a connection name can't hold \"[\" or \"]\"");
      HaltProgram(0);
    }
    if (proxy || EntryExists(p.ras, name)) break;
    d.Say("Sorry, connection name not found");
    if (!d.AskYesNo("Create new entry in phonebook connection? (Y/n) ")) HaltProgram(0);
    // Carry on with the entry just made (asking the name again would only
    // puzzle); when it could not be made, ask again.
    if (d.CreatePhonebookEntry(name)) break;
  }

  name = ResolveEntryName(p.ras, name);
  EntryDefaults defaults = LoadEntryDefaults(p.ras, name).value_or(EntryDefaults{});
  bool use_defaults = false;
  if (!defaults.user.empty() && !defaults.password.empty())
    use_defaults = d.AskYesNo("Use default connection UserName/Password/Domain? (Y/n) ");

  if (proxy) {
    defaults.user = kProxyUserName;
  } else if (!use_defaults) {
    defaults.phone = d.AskWithDefault("Phone     : ", defaults.phone);
    defaults.domain = d.Ask("Domain    : ");
    defaults.user = d.Ask("User name : ");
    defaults.password = d.Ask("Password  : ");
    if (defaults.user.empty() || defaults.password.empty()) HaltProgram(0);
  }

  std::string section = "\n[" + name + "]\n";
  section += proxy ? ";Connection for PROXY\n" : ";Connection " + name + "\n";
  section += "User " + defaults.user + "\n";
  section += "Password " +
             ScramblePassword(name, defaults.user, defaults.password, VolumeKey(p.env)) + "\n";
  section += defaults.domain.empty() ? ";Domain default\n" : "Domain " + defaults.domain + "\n";
  if (!defaults.phone.empty()) section += "Phone " + defaults.phone + "\n";
  WriteDefaultContent(section, ";", /*with_comments=*/false);

  if (!AddSectionToConfig(p.env, path, section)) p.Fatal("Can't write Netrove.dat file.");
  p.console.ClearScreen();
  p.console.WriteLine("Base updated.");
  HaltProgram(0);
}

}  // namespace netrove
