// The devices behind phonebook entries (internal to the remote-access
// layer): "sim", a simulated modem scripted by its "Answer" list, and
// "command", programs that bring a real link up and down.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "dialer/phonebook.h"
#include "dialer/remote_access.h"
#include "runtime/env.h"

namespace netrove {

enum LinkState { kDialing = 0, kConnected = 1, kDropped = 2 };

// A connection being dialled or held by this process. The atomics may be
// touched by any task; the rest belongs to its device.
struct Connection {
  uint32_t handle = 0;
  std::string entry, device;
  PhonebookSection section;
  std::atomic<bool> cancel{false};
  std::atomic<bool> hung_up{false};
  std::atomic<int> state{kDialing};
  std::atomic<uint32_t> error{0};

  // The state file that shows the connection to other processes.
  std::mutex file_mu;
  std::string state_file;  // guarded by file_mu; "" while not written
  // Writes the state file unless it is there (a full disk at dial time is
  // retried at every status query) or the connection has dropped.
  void EnsureStateFile(Env& env, const std::string& run_dir);
  // Call after `state` became kDropped.
  void RemoveStateFile(Env& env);
};

class Device {
 public:
  virtual ~Device() = default;
  // Dials `c` to its end: 0 when the link is up, otherwise the error code.
  // Returns kErrorUserDisconnection at once when `c.cancel` is set, the
  // calling task is asked to stop, or `interrupted()` says so.
  virtual int Dial(Connection& c, const DialRecord& params,
                   const std::function<bool()>& interrupted) = 0;
  // The link's error when it is no longer up (0 while it is).
  virtual uint32_t LinkError(Connection& c) = 0;
  // Ends the link: the hang-up command, the dial command's process group.
  virtual void Release(Connection& c) = 0;
};

// One sim device serves every sim entry of a phonebook; its place in each
// entry's Answer list lasts as long as the object.
std::unique_ptr<Device> MakeSimDevice(Env& env);
// Output of the commands goes to `run_dir`/commands.log.
std::unique_ptr<Device> MakeCommandDevice(Env& env, std::string run_dir);

// One outcome of the "Answer" list of a sim entry.
struct SimOutcome {
  enum Kind { kError, kHang, kConnect } kind = kConnect;
  int error = 0;           // kError: the remote-access error code
  double delay = 0;        // seconds until the outcome (kConnect: until the link is up)
  double drop_after = -1;  // kConnect: seconds on-line until the line drops; <0 never
};
// Parses an "Answer" value; an empty value is one "connect".
std::vector<SimOutcome> ParseSimAnswers(const std::string& text);

}  // namespace netrove
