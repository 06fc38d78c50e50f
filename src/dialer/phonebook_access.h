// The remote-access layer over the phonebook file (docs/phonebook.md),
// with the devices of devices.h behind its entries.
//
// Connections are published as state files (connection_files.h); a
// connection of another process is hung up by sending its owner SIGUSR1,
// on which the owner hangs up every connection it holds (signals.h).
//
// Without a phonebook file enumerations report nothing and every other
// operation fails with -1 (CreateEntry excepted: it creates the file).
// Thread-safe.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "dialer/connection_files.h"
#include "dialer/phonebook.h"
#include "dialer/remote_access.h"

namespace netrove {

struct Connection;
class Device;

// Error texts of the layer, for every code it returns (and the usual line
// errors a sim entry may script); `phonebook` names the file where the
// text concerns it. Codes it does not know read "remote-access error N".
std::string RemoteAccessErrorText(int code, const std::string& phonebook);

class PhonebookRemoteAccess : public RemoteAccess {
 public:
  // `phonebook_path` is the phonebook file, `run_dir` the directory of the
  // connection state files and commands.log.
  PhonebookRemoteAccess(Env& env, std::string phonebook_path, std::string run_dir);
  ~PhonebookRemoteAccess() override;

  int EnumConnections(std::vector<ConnectionInfo>& out) override;
  int EnumEntries(std::vector<std::string>& out) override;
  int GetConnectStatus(uint32_t handle, ConnectStatus& status) override;
  std::string ErrorText(int code) override;
  int HangUp(uint32_t handle) override;
  int GetEntryDialParams(const std::string& entry, DialRecord& params,
                         bool& password_stored) override;
  int GetEntryProperties(const std::string& entry, EntryProperties& props) override;
  int CreateEntry(const NewEntry& entry) override;
  int Dial(const DialRecord& params, std::atomic<uint32_t>& handle) override;

  const std::string& phonebook_path() const { return book_; }

 private:
  void HandleBreakSignal();
  Device& DeviceOf(const Connection& c);
  // The link's state now: a dropped line is noticed here.
  void Refresh(const std::shared_ptr<Connection>& c);
  void Drop(const std::shared_ptr<Connection>& c, uint32_t error);
  void Release(const std::shared_ptr<Connection>& c);

  Env& env_;
  const std::string book_, run_dir_;
  std::unique_ptr<Device> sim_, command_;
  std::mutex mu_;
  std::map<uint32_t, std::shared_ptr<Connection>> own_;  // guarded by mu_
  std::map<uint32_t, ConnectionFile> foreign_;           // guarded by mu_
  uint32_t next_handle_ = 1;                             // guarded by mu_
  uint32_t next_foreign_ = 1;                            // guarded by mu_
};

}  // namespace netrove
