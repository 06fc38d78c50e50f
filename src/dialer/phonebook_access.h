// The remote-access layer over the phonebook file (docs/phonebook.md).
//
// Devices:
// - "sim": a simulated modem. "Answer" lists the outcome of each dial in
//   turn and starts over at its end; the position is kept per entry for
//   the life of the process (each process starts at the first outcome).
// - "command": DialCommand / HangupCommand, and Interface (present in
//   /sys/class/net = connected) or StatusCommand (exit 0 = connected).
//
// Connections are published as state files (connection_files.h); a
// connection of another process is hung up by sending its owner SIGUSR1,
// on which the owner hangs up every connection it holds.
//
// Without a phonebook file every operation behaves as the substitutes of
// SubstituteRemoteAccess (CreateEntry excepted: it creates the file).
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

// One outcome of the "Answer" list of a sim entry.
struct SimOutcome {
  enum Kind { kError, kHang, kConnect } kind = kConnect;
  int error = 0;           // kError: the remote-access error code
  double delay = 0;        // seconds until the outcome (kConnect: until the link is up)
  double drop_after = -1;  // kConnect: seconds on-line until the line drops; <0 never
};
// Parses an "Answer" value; an empty value is one "connect".
std::vector<SimOutcome> ParseSimAnswers(const std::string& text);

// Error texts of the layer, for every code it returns (and the usual line
// errors a sim entry may script); `phonebook` names the file where the
// text concerns it. Codes it does not know read "remote-access error N".
std::string RemoteAccessErrorText(int code, const std::string& phonebook);

class PhonebookRemoteAccess : public RemoteAccess {
 public:
  // Empty `phonebook_path` means PhonebookPath() at each call; empty
  // `run_dir` means ConnectionDirectory().
  explicit PhonebookRemoteAccess(std::string phonebook_path = "", std::string run_dir = "");
  ~PhonebookRemoteAccess() override;

  int EnumConnections(std::vector<ConnectionInfo>& out) override;
  int EnumEntries(std::vector<std::string>& out) override;
  int GetConnectStatus(uint32_t handle, ConnectStatus& status) override;
  std::string ErrorText(int code) override;
  int HangUp(uint32_t handle) override;
  int GetEntryDialParams(const std::string& entry, DialRecord& params,
                         bool& password_stored) override;
  int GetEntryProperties(const std::string& entry, EntryProperties& props) override;
  int SetEntryProperties(const std::string& entry, const EntryProperties& props) override;
  int CreateEntry(const NewEntry& entry) override;
  int Dial(const DialRecord& params, std::atomic<uint32_t>& handle) override;

  // Installs the SIGUSR1 handler through which other processes ask this
  // one to hang up. Idempotent.
  static void InstallBreakSignal();

 private:
  struct Connection;
  std::string PhonebookFile() const;
  std::string RunDir() const;
  void HandleBreakSignal();
  void Drop(const std::shared_ptr<Connection>& c, uint32_t error);
  bool CommandConnected(const Connection& c);
  int DialSim(const std::shared_ptr<Connection>& c, const PhonebookSection& section);
  int DialCommand(const std::shared_ptr<Connection>& c, const PhonebookSection& section,
                  const DialRecord& params);
  void Release(const std::shared_ptr<Connection>& c);

  const std::string phonebook_path_, run_dir_;
  std::mutex mu_;
  std::map<uint32_t, std::shared_ptr<Connection>> own_;
  std::map<uint32_t, ConnectionFile> foreign_;
  std::map<std::string, size_t> answer_position_;  // per upper-cased entry name
  uint32_t next_handle_ = 1;
  uint32_t next_foreign_ = 1;
};

}  // namespace netrove
