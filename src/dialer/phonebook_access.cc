#include "dialer/phonebook_access.h"

#include <signal.h>
#include <unistd.h>

#include "dialer/devices.h"
#include "runtime/signals.h"
#include "runtime/tasks.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr uint32_t kForeignBit = 0x80000000u;

}  // namespace

void Connection::EnsureStateFile(Env& env, const std::string& run_dir) {
  std::lock_guard<std::mutex> lock(file_mu);
  if (state_file.empty() && state.load() != kDropped)
    state_file = WriteConnectionFile(env, run_dir, entry, device);
}

void Connection::RemoveStateFile(Env& env) {
  std::lock_guard<std::mutex> lock(file_mu);
  RemoveConnectionFile(env, state_file);
  state_file.clear();
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

PhonebookRemoteAccess::PhonebookRemoteAccess(Env& env, std::string phonebook_path,
                                             std::string run_dir)
    : env_(env),
      book_(std::move(phonebook_path)),
      run_dir_(std::move(run_dir)),
      sim_(MakeSimDevice(env)),
      command_(MakeCommandDevice(env, run_dir_)) {}

PhonebookRemoteAccess::~PhonebookRemoteAccess() {
  std::map<uint32_t, std::shared_ptr<Connection>> own;
  {
    std::lock_guard<std::mutex> lock(mu_);
    own.swap(own_);
  }
  for (auto& [h, c] : own) Release(c);
}

Device& PhonebookRemoteAccess::DeviceOf(const Connection& c) {
  return c.device == "command" ? *command_ : *sim_;
}

// Another process asked us (SIGUSR1) to hang up everything we hold.
void PhonebookRemoteAccess::HandleBreakSignal() {
  if (!TakeBreakSignal()) return;
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
  c->RemoveStateFile(env_);
}

void PhonebookRemoteAccess::Refresh(const std::shared_ptr<Connection>& c) {
  if (c->state != kConnected) return;
  if (uint32_t error = DeviceOf(*c).LinkError(*c); error != 0) Drop(c, error);
}

void PhonebookRemoteAccess::Release(const std::shared_ptr<Connection>& c) {
  c->cancel = true;
  c->state = kDropped;
  c->RemoveStateFile(env_);
  if (c->hung_up.exchange(true)) return;
  DeviceOf(*c).Release(*c);
}

int PhonebookRemoteAccess::EnumConnections(std::vector<ConnectionInfo>& out) {
  HandleBreakSignal();
  out.clear();
  if (!FileExists(env_, book_)) return 0;
  std::vector<ConnectionFile> files = ReadConnectionFiles(env_, run_dir_, getpid(), kMaxRecords);
  std::vector<std::shared_ptr<Connection>> own;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [h, c] : own_) own.push_back(c);
  }
  for (auto& c : own) {
    if (c->device == "sim") Refresh(c);  // a command link's check runs a program: not here
    if (c->state != kDropped && out.size() < kMaxRecords)
      out.push_back({c->handle, c->entry, c->device});
  }
  std::lock_guard<std::mutex> lock(mu_);
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
  std::optional<std::vector<PhonebookSection>> book = ReadPhonebook(env_, book_);
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
  }
  Refresh(c);
  c->EnsureStateFile(env_, run_dir_);
  int state = c->state;
  status.state = state == kConnected ? kStateConnected : state == kDropped ? kStateDisconnected : 0;
  status.error = c->error;
  return 0;
}

std::string PhonebookRemoteAccess::ErrorText(int code) {
  if (!FileExists(env_, book_)) return "The phonebook " + book_ + " does not exist.";
  return RemoteAccessErrorText(code, book_);
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
    if (SameProcessAlive(env_, f.pid, f.start_time)) {
      (void)env_.Signal(f.pid, SIGUSR1);
    } else {
      RemoveConnectionFile(env_, f.path);
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
  std::optional<std::vector<PhonebookSection>> book = ReadPhonebook(env_, book_);
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
  std::optional<std::vector<PhonebookSection>> book = ReadPhonebook(env_, book_);
  if (!book) return -1;
  const PhonebookSection* s = FindSection(*book, entry);
  if (s == nullptr) return kErrorCannotFindEntry;
  props.device_name = s->Get("Device");
  props.local_phone = s->Get("Phone");
  props.autodial_library = s->Get("AutoDialLibrary");
  props.autodial_function = s->Get("AutoDialFunction");
  props.modem_port = s->Get("ModemPort");
  return 0;
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
  return AppendSection(env_, book_, s) ? 0 : -1;
}

int PhonebookRemoteAccess::Dial(const DialRecord& params, std::atomic<uint32_t>& handle) {
  HandleBreakSignal();
  std::optional<std::vector<PhonebookSection>> book = ReadPhonebook(env_, book_);
  if (!book) return -1;
  const PhonebookSection* section = FindSection(*book, params.entry_name);
  if (section == nullptr) return kErrorCannotFindEntry;
  std::string device = UpperAscii(section->Get("Device"));
  if (device != "SIM" && device != "COMMAND") return kErrorDeviceError;

  auto c = std::make_shared<Connection>();
  c->entry = section->name;
  c->device = device == "SIM" ? "sim" : "command";
  c->section = *section;
  {
    std::lock_guard<std::mutex> lock(mu_);
    c->handle = next_handle_;
    next_handle_ = next_handle_ >= 0x7fffffffu ? 1 : next_handle_ + 1;
    own_[c->handle] = c;
  }
  handle.store(c->handle);
  c->EnsureStateFile(env_, run_dir_);
  int rc = DeviceOf(*c).Dial(*c, params, [this] {
    HandleBreakSignal();
    return false;
  });
  if (rc == 0) {
    std::lock_guard<std::mutex> lock(mu_);
    if (c->cancel)
      rc = kErrorUserDisconnection;
    else
      c->state = kConnected;
  }
  if (rc != 0) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      own_.erase(c->handle);
    }
    c->hung_up = true;  // nothing is up: no hang-up command needed
    c->state = kDropped;
    c->RemoveStateFile(env_);
  }
  return rc;
}

}  // namespace netrove
