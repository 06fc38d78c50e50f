#include "dialer/phonebook_access.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "dialer/child_process.h"
#include "runtime/files.h"
#include "runtime/tasks.h"
#include "runtime/text.h"

namespace netrove {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kForeignBit = 0x80000000u;
constexpr size_t kMaxOutcomes = 100;
constexpr int kStatusCommandMs = 5000;
constexpr int kHangupCommandMs = 15000;

enum LinkState { kDialing = 0, kConnected = 1, kDropped = 2 };

// Set by the SIGUSR1 handler: another process asked us to hang up.
std::atomic<bool> break_signal{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnBreakSignal(int) { break_signal.store(true); }

double Seconds(const std::string& word, double fallback) {
  char* end = nullptr;
  double v = std::strtod(word.c_str(), &end);
  if (word.empty() || end == nullptr || *end != '\0' || !(v >= 0)) return fallback;
  return v > 86400 ? 86400 : v;
}

}  // namespace

struct PhonebookRemoteAccess::Connection {
  uint32_t handle = 0;
  std::string entry, device;
  bool command = false;
  PhonebookSection section;
  EnvironmentList env;
  std::mutex file_mu;
  std::string state_file;  // guarded by file_mu; "" while not written

  // Writes the state file unless it is there (a full disk at dial time is
  // retried at every status query) or the connection has dropped.
  void EnsureStateFile(const std::string& run_dir) {
    std::lock_guard<std::mutex> lock(file_mu);
    if (state_file.empty() && state.load() != kDropped)
      state_file = WriteConnectionFile(run_dir, entry, device);
  }
  // Call after `state` became kDropped.
  void RemoveStateFile() {
    std::lock_guard<std::mutex> lock(file_mu);
    RemoveConnectionFile(state_file);
    state_file.clear();
  }
  std::atomic<bool> cancel{false};
  std::atomic<bool> hung_up{false};
  std::atomic<int> state{kDialing};
  std::atomic<uint32_t> error{0};
  // Guarded by the owner's mutex:
  bool drops = false;
  Clock::time_point drop_at;
  std::unique_ptr<ChildProcess> dial_child;
};

std::vector<SimOutcome> ParseSimAnswers(const std::string& text) {
  std::vector<SimOutcome> outcomes;
  size_t pos = 0;
  while (pos <= text.size() && outcomes.size() < kMaxOutcomes) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    std::string item = Trim(text.substr(pos, comma - pos));
    pos = comma + 1;
    if (item.empty()) continue;
    std::vector<std::string> words;
    for (size_t i = 0; i < item.size();) {
      size_t e = item.find_first_of(" \t", i);
      if (e == std::string::npos) e = item.size();
      if (e > i) words.push_back(item.substr(i, e - i));
      i = e + 1;
    }
    std::string kind = UpperAscii(words[0]);
    std::string second = words.size() > 1 ? words[1] : "";
    SimOutcome o;
    if (kind == "CONNECT") {
      o.kind = SimOutcome::kConnect;
      o.delay = Seconds(second, 2);
      o.drop_after = words.size() > 2 ? Seconds(words[2], -1) : -1;
    } else if (kind == "HANG") {
      o.kind = SimOutcome::kHang;
    } else {
      o.kind = SimOutcome::kError;
      if (kind == "BUSY") {
        o.error = kErrorLineBusy, o.delay = Seconds(second, 2);
      } else if (kind == "NOANSWER") {
        o.error = kErrorNoAnswer, o.delay = Seconds(second, 5);
      } else if (kind == "NODIALTONE") {
        o.error = kErrorNoDialTone, o.delay = Seconds(second, 1);
      } else {
        char* end = nullptr;
        long code = std::strtol(kind.c_str(), &end, 10);
        bool number = *end == '\0' && code > 0 && code < 100000;
        o.error = number ? static_cast<int>(code) : kErrorHardwareFailure;
        o.delay = Seconds(second, 1);
      }
    }
    outcomes.push_back(o);
  }
  if (outcomes.empty()) outcomes.push_back(SimOutcome{});
  return outcomes;
}

std::string RemoteAccessErrorText(int code, const std::string& phonebook) {
  switch (code) {
    case -1:
      return "The phonebook " + phonebook + " does not exist or cannot be read.";
    case kErrorInvalidHandle:
      return "No such connection (it has ended).";
    case kErrorBufferTooSmall:
      return "The phonebook " + phonebook + " has more than 30 entries.";
    case kErrorCannotFindEntry:
      return "The entry is not in the phonebook " + phonebook + ".";
    case kErrorRemoteDisconnection:
      return "The link dropped (the remote end hung up, or the interface went down).";
    case kErrorHardwareFailure:
      return "The modem or its port failed.";
    case kErrorUserDisconnection:
      return "The connection was ended here (hang-up or BREAK).";
    case kErrorOutsideSchedule:
      return "No phone number may be dialled at this time (ADDPHONE time windows).";
    case kErrorDeviceError:
      return "The entry's device failed: Device is neither sim nor command, or the "
             "DialCommand could not be started or ended with an error (see run/commands.log).";
    case kErrorLineBusy:
      return "The line is busy.";
    case kErrorNoAnswer:
      return "The remote computer does not answer.";
    case kErrorNoDialTone:
      return "The modem hears no dial tone.";
    case kErrorAuthentication:
      return "The server rejected the user name or password.";
    default:
      return "remote-access error " + std::to_string(code);
  }
}

void PhonebookRemoteAccess::InstallBreakSignal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_handler = OnBreakSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &sa, nullptr);
  });
}

PhonebookRemoteAccess::PhonebookRemoteAccess(std::string phonebook_path, std::string run_dir)
    : phonebook_path_(std::move(phonebook_path)), run_dir_(std::move(run_dir)) {
  InstallBreakSignal();
}

PhonebookRemoteAccess::~PhonebookRemoteAccess() {
  std::map<uint32_t, std::shared_ptr<Connection>> own;
  {
    std::lock_guard<std::mutex> lock(mu_);
    own.swap(own_);
  }
  for (auto& [h, c] : own) Release(c);
}

std::string PhonebookRemoteAccess::PhonebookFile() const {
  return phonebook_path_.empty() ? PhonebookPath() : phonebook_path_;
}

std::string PhonebookRemoteAccess::RunDir() const {
  return run_dir_.empty() ? ConnectionDirectory() : run_dir_;
}

void PhonebookRemoteAccess::HandleBreakSignal() {
  if (!break_signal.exchange(false)) return;
  std::vector<std::shared_ptr<Connection>> own;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [h, c] : own_) own.push_back(c);
  }
  for (auto& c : own) {
    c->cancel = true;
    Drop(c, kErrorUserDisconnection);
  }
}

void PhonebookRemoteAccess::Drop(const std::shared_ptr<Connection>& c, uint32_t error) {
  if (c->state.exchange(kDropped) == kDropped) return;
  c->error = error;
  c->RemoveStateFile();
}

void PhonebookRemoteAccess::Release(const std::shared_ptr<Connection>& c) {
  c->cancel = true;
  c->state = kDropped;
  c->RemoveStateFile();
  std::unique_ptr<ChildProcess> child;
  {
    std::lock_guard<std::mutex> lock(mu_);
    child = std::move(c->dial_child);
  }
  if (c->hung_up.exchange(true)) return;
  if (c->command) {
    std::string hangup = c->section.Get("HangupCommand");
    if (!hangup.empty())
      RunCommandLine(hangup, c->env, RunDir() + "/commands.log", kHangupCommandMs);
  }
  if (child) child->KillGroup();
}

bool PhonebookRemoteAccess::CommandConnected(const Connection& c) {
  std::string ifname = c.section.Get("Interface");
  if (!ifname.empty()) {
    if (ifname.find('/') != std::string::npos || ifname == "." || ifname == "..") return false;
    return FileExists("/sys/class/net/" + ifname);
  }
  std::string status = c.section.Get("StatusCommand");
  if (status.empty()) return false;
  std::optional<int> rc =
      RunCommandLine(status, c.env, RunDir() + "/commands.log", kStatusCommandMs);
  return rc && *rc == 0;
}

int PhonebookRemoteAccess::EnumConnections(std::vector<ConnectionInfo>& out) {
  HandleBreakSignal();
  out.clear();
  if (!FileExists(PhonebookFile())) return 0;
  std::vector<ConnectionFile> files = ReadConnectionFiles(RunDir(), getpid(), kMaxRecords);
  std::lock_guard<std::mutex> lock(mu_);
  auto now = Clock::now();
  for (auto& [h, c] : own_) {
    if (c->state == kConnected && c->drops && now >= c->drop_at) {
      c->state = kDropped;
      c->error = kErrorRemoteDisconnection;
      c->RemoveStateFile();
    }
    if (c->state != kDropped && out.size() < kMaxRecords) out.push_back({h, c->entry, c->device});
  }
  std::map<uint32_t, ConnectionFile> foreign;
  for (ConnectionFile& f : files) {
    uint32_t handle = 0;
    for (auto& [h, old] : foreign_)
      if (old.pid == f.pid && old.start_time == f.start_time && old.entry == f.entry) handle = h;
    if (handle == 0) {
      handle = kForeignBit | next_foreign_;
      next_foreign_ = next_foreign_ >= 0x7fffffffu ? 1 : next_foreign_ + 1;
    }
    if (out.size() < kMaxRecords) out.push_back({handle, f.entry, f.device});
    foreign[handle] = std::move(f);
  }
  foreign_.swap(foreign);
  return 0;
}

int PhonebookRemoteAccess::EnumEntries(std::vector<std::string>& out) {
  out.clear();
  std::optional<std::vector<PhonebookSection>> book = ReadPhonebook(PhonebookFile());
  if (!book) return 0;
  if (book->size() > kMaxRecords) return kErrorBufferTooSmall;
  for (const PhonebookSection& s : *book) out.push_back(s.name);
  return 0;
}

int PhonebookRemoteAccess::GetConnectStatus(uint32_t handle, ConnectStatus& status) {
  HandleBreakSignal();
  std::shared_ptr<Connection> c;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = own_.find(handle);
    if (it == own_.end()) return kErrorInvalidHandle;
    c = it->second;
    if (c->state == kConnected && c->drops && Clock::now() >= c->drop_at) {
      c->state = kDropped;
      c->error = kErrorRemoteDisconnection;
      c->RemoveStateFile();
    }
  }
  if (c->command && c->state == kConnected && !CommandConnected(*c))
    Drop(c, kErrorRemoteDisconnection);
  c->EnsureStateFile(RunDir());
  int state = c->state;
  status.state = state == kConnected ? kStateConnected : state == kDropped ? kStateDisconnected : 0;
  status.error = c->error;
  return 0;
}

std::string PhonebookRemoteAccess::ErrorText(int code) {
  std::string book = PhonebookFile();
  if (!FileExists(book)) return "The phonebook " + book + " does not exist.";
  return RemoteAccessErrorText(code, book);
}

int PhonebookRemoteAccess::HangUp(uint32_t handle) {
  if (handle & kForeignBit) {
    ConnectionFile f;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = foreign_.find(handle);
      if (it == foreign_.end()) return kErrorInvalidHandle;
      f = it->second;
    }
    if (SameProcessAlive(f.pid, f.start_time)) {
      kill(f.pid, SIGUSR1);
    } else {
      RemoveConnectionFile(f.path);
    }
    return 0;
  }
  std::shared_ptr<Connection> c;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = own_.find(handle);
    if (it == own_.end()) return kErrorInvalidHandle;
    c = it->second;
    own_.erase(it);
  }
  Release(c);
  return 0;
}

int PhonebookRemoteAccess::GetEntryDialParams(const std::string& entry, DialRecord& params,
                                              bool& password_stored) {
  password_stored = false;
  std::optional<std::vector<PhonebookSection>> book = ReadPhonebook(PhonebookFile());
  if (!book) return -1;
  const PhonebookSection* s = FindSection(*book, entry);
  if (s == nullptr) return kErrorCannotFindEntry;
  params.entry_name = s->name;
  params.user_name = s->Get("User");
  params.password = s->Get("Password");
  params.domain = s->Get("Domain");
  params.CutToFields();
  password_stored = !params.password.empty();
  return 0;
}

int PhonebookRemoteAccess::GetEntryProperties(const std::string& entry, EntryProperties& props) {
  props = EntryProperties{};
  std::optional<std::vector<PhonebookSection>> book = ReadPhonebook(PhonebookFile());
  if (!book) return -1;
  const PhonebookSection* s = FindSection(*book, entry);
  if (s == nullptr) return kErrorCannotFindEntry;
  props.device_name = s->Get("Device");
  props.local_phone = s->Get("Phone");
  props.autodial_library = s->Get("AutoDialLibrary");
  props.autodial_function = s->Get("AutoDialFunction");
  return 0;
}

int PhonebookRemoteAccess::SetEntryProperties(const std::string& entry,
                                              const EntryProperties& props) {
  if (!ValidPhonebookValue(props.autodial_library) || !ValidPhonebookValue(props.autodial_function))
    return -1;
  std::string path = PhonebookFile();
  std::optional<std::string> text = ReadWholeFile(path, kMaxPhonebookBytes + 1);
  if (!text || text->size() > kMaxPhonebookBytes) return -1;
  if (FindSection(ParsePhonebook(*text), entry) == nullptr) return kErrorCannotFindEntry;
  // Rewrites only the AutoDial lines of the entry's section, keeping
  // everything else (comments included) as the user wrote it.
  std::string out, upper_entry = UpperAscii(entry);
  bool in_entry = false, done = false;
  auto add_autodial = [&] {
    if (!props.autodial_library.empty()) out += "AutoDialLibrary " + props.autodial_library + "\n";
    if (!props.autodial_function.empty())
      out += "AutoDialFunction " + props.autodial_function + "\n";
    done = true;
  };
  size_t pos = 0;
  while (pos < text->size()) {
    size_t end = text->find('\n', pos);
    if (end == std::string::npos) end = text->size();
    std::string line = text->substr(pos, end - pos);
    pos = end + 1;
    std::string trimmed = Trim(line);
    if (!trimmed.empty() && trimmed[0] == '[') {
      if (in_entry && !done) add_autodial();
      size_t close = trimmed.find(']');
      in_entry = !done && close != std::string::npos &&
                 UpperAscii(Trim(trimmed.substr(1, close - 1))) == upper_entry;
    } else if (in_entry) {
      std::string key = UpperAscii(trimmed.substr(0, trimmed.find_first_of(" \t=")));
      if (key == "AUTODIALLIBRARY" || key == "AUTODIALFUNCTION") continue;
    }
    out += line + "\n";
  }
  if (in_entry && !done) add_autodial();
  return WriteFileAtomically(path, out, 0600, false) ? 0 : -1;
}

int PhonebookRemoteAccess::CreateEntry(const NewEntry& entry) {
  PhonebookSection s;
  s.name = entry.name;
  auto add = [&s](const char* key, const std::string& value) {
    if (!value.empty()) s.keys.emplace_back(key, value);
  };
  add("Device", entry.device);
  add("Phone", entry.phone);
  add("User", entry.user);
  add("Password", entry.password);
  add("Domain", entry.domain);
  for (const auto& kv : entry.device_keys) s.keys.push_back(kv);
  return AppendSection(PhonebookFile(), s) ? 0 : -1;
}

int PhonebookRemoteAccess::Dial(const DialRecord& params, std::atomic<uint32_t>& handle) {
  HandleBreakSignal();
  std::optional<std::vector<PhonebookSection>> book = ReadPhonebook(PhonebookFile());
  if (!book) return -1;
  const PhonebookSection* section = FindSection(*book, params.entry_name);
  if (section == nullptr) return kErrorCannotFindEntry;
  std::string device = UpperAscii(section->Get("Device"));
  if (device != "SIM" && device != "COMMAND") return kErrorDeviceError;

  auto c = std::make_shared<Connection>();
  c->entry = section->name;
  c->device = device == "SIM" ? "sim" : "command";
  c->command = device == "COMMAND";
  c->section = *section;
  {
    std::lock_guard<std::mutex> lock(mu_);
    c->handle = next_handle_;
    next_handle_ = next_handle_ >= 0x7fffffffu ? 1 : next_handle_ + 1;
    own_[c->handle] = c;
  }
  handle.store(c->handle);
  c->EnsureStateFile(RunDir());
  int rc = c->command ? DialCommand(c, *section, params) : DialSim(c, *section);
  if (rc != 0) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      own_.erase(c->handle);
    }
    c->hung_up = true;  // nothing is up: no hang-up command needed
    c->state = kDropped;
    c->RemoveStateFile();
  }
  return rc;
}

int PhonebookRemoteAccess::DialSim(const std::shared_ptr<Connection>& c,
                                   const PhonebookSection& section) {
  std::vector<SimOutcome> outcomes = ParseSimAnswers(section.Get("Answer"));
  SimOutcome o;
  {
    std::lock_guard<std::mutex> lock(mu_);
    size_t& pos = answer_position_[UpperAscii(c->entry)];
    o = outcomes[pos % outcomes.size()];
    pos = (pos + 1) % outcomes.size();
  }
  auto until = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(o.delay * 1000));
  while (o.kind == SimOutcome::kHang || Clock::now() < until) {
    HandleBreakSignal();
    if (c->cancel || TaskStopRequested()) return kErrorUserDisconnection;
    if (!TaskSleep(50)) return kErrorUserDisconnection;
  }
  if (o.kind == SimOutcome::kError) return o.error;
  std::lock_guard<std::mutex> lock(mu_);
  if (c->cancel) return kErrorUserDisconnection;
  c->drops = o.drop_after >= 0;
  c->drop_at = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(o.drop_after * 1000));
  c->state = kConnected;
  return 0;
}

int PhonebookRemoteAccess::DialCommand(const std::shared_ptr<Connection>& c,
                                       const PhonebookSection& section, const DialRecord& params) {
  c->env = {
      {"NETROVE_ENTRY", c->entry},
      {"NETROVE_PHONE", params.phone_number.empty() ? section.Get("Phone") : params.phone_number},
      {"NETROVE_USER", params.user_name},
      {"NETROVE_PASSWORD", params.password},
      {"NETROVE_DOMAIN", params.domain}};
  std::optional<std::vector<std::string>> words = SplitCommandLine(section.Get("DialCommand"));
  if (!words || words->empty()) return kErrorDeviceError;
  mkdir(RunDir().c_str(), 0700);
  std::unique_ptr<ChildProcess> child =
      ChildProcess::Spawn(*words, c->env, RunDir() + "/commands.log");
  if (!child) return kErrorDeviceError;
  for (;;) {
    HandleBreakSignal();
    if (c->cancel || TaskStopRequested()) return kErrorUserDisconnection;  // child's group ends
    std::optional<int> status = child->Poll();
    if (status && *status != 0) return kErrorDeviceError;
    if (CommandConnected(*c)) break;
    if (!TaskSleep(250)) return kErrorUserDisconnection;
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (c->cancel) return kErrorUserDisconnection;
  if (!child->Poll()) c->dial_child = std::move(child);  // e.g. pppd nodetach: ends at hang-up
  c->state = kConnected;
  return 0;
}

std::shared_ptr<RemoteAccess> SystemRemoteAccess() {
  static std::shared_ptr<RemoteAccess> instance = std::make_shared<PhonebookRemoteAccess>();
  return instance;
}

}  // namespace netrove
