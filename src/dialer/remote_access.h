// The remote-access layer: phonebook entries, dialing, hanging up and the
// status of connections, behind one interface so that the dialer and the
// session controller can run against a scripted fake.
//
// Results follow the remote-access convention: 0 is success, anything else
// an error code (600 and up for line and dial errors, -1 for "not
// available"). Nothing here throws.
//
// Thread safety: every implementation may be called from several tasks at
// once (the dial blocks on "Dial proc" while the controller polls status).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace netrove {

// Connection states of the status record.
inline constexpr uint32_t kStateConnected = 0x2000;
inline constexpr uint32_t kStateDisconnected = 0x2001;

// Error codes the layer produces itself.
inline constexpr int kErrorInvalidHandle = 6;
inline constexpr int kErrorBufferTooSmall = 603;
inline constexpr int kErrorCannotFindEntry = 623;
inline constexpr int kErrorRemoteDisconnection = 629;
inline constexpr int kErrorHardwareFailure = 630;
inline constexpr int kErrorUserDisconnection = 631;
inline constexpr int kErrorOutsideSchedule = 637;
inline constexpr int kErrorDeviceError = 651;
inline constexpr int kErrorLineBusy = 676;
inline constexpr int kErrorNoAnswer = 678;
inline constexpr int kErrorNoDialTone = 680;
inline constexpr int kErrorAuthentication = 691;

// The enumerations return at most this many records.
inline constexpr size_t kMaxRecords = 30;

// One active connection.
struct ConnectionInfo {
  uint32_t handle = 0;
  std::string entry_name;
  std::string device;
};

struct ConnectStatus {
  uint32_t state = 0;
  uint32_t error = 0;
};

// The dial parameters of one attempt. Text fields are cut to the lengths
// of the remote-access record (entry 256, phone 128, user 256, password
// 256, domain 15). An empty phone number dials the entry's own number.
struct DialRecord {
  std::string entry_name, phone_number, callback_number, user_name, password, domain;
  void CutToFields();
};

// What the program reads from an entry's properties.
struct EntryProperties {
  std::string device_name;
  std::string local_phone;
  std::string autodial_library, autodial_function;
  // The serial device of the entry's modem ("" when it names none).
  std::string modem_port;
};

// Settings of a new phonebook entry (the ADD dialogue).
struct NewEntry {
  std::string name, device, phone, user, password, domain;
  // Further "key value" lines of the device (e.g. "Answer" for sim).
  std::vector<std::pair<std::string, std::string>> device_keys;
};

class RemoteAccess {
 public:
  virtual ~RemoteAccess() = default;

  // Active connections (this process's and other processes'), at most 30.
  virtual int EnumConnections(std::vector<ConnectionInfo>& out) = 0;
  // Phonebook entry names; fails (and reports none) past 30 entries.
  virtual int EnumEntries(std::vector<std::string>& out) = 0;
  virtual int GetConnectStatus(uint32_t handle, ConnectStatus& status) = 0;
  // Text of an error code (never empty).
  virtual std::string ErrorText(int code) = 0;
  // Ends the connection (or the dial in progress) behind `handle`.
  virtual int HangUp(uint32_t handle) = 0;
  // Stored user name, password and domain of an entry.
  virtual int GetEntryDialParams(const std::string& entry, DialRecord& params,
                                 bool& password_stored) = 0;
  virtual int GetEntryProperties(const std::string& entry, EntryProperties& props) = 0;
  virtual int CreateEntry(const NewEntry& entry) = 0;
  // Blocks until the dial has ended: 0 connected, otherwise the error.
  // `handle` is set as soon as the dial starts; HangUp on it cancels the
  // dial, and so does a stop request of the calling task.
  virtual int Dial(const DialRecord& params, std::atomic<uint32_t>& handle) = 0;
};

}  // namespace netrove
