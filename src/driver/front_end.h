// What the library offers a front-end besides the main entry: the settings
// of netrove.dat as records, the state of the program running on the task
// "AA", requests to it, and its message routine. The extern "C" layer
// (exports.cc) converts records and calls these.
//
// The running program's context attaches itself for the length of the
// main entry (FrontEndAttachment); between runs the status reads empty and
// requests wait for the next run. Thread-safe: a windowed front-end calls
// from its own thread while "AA" runs the program.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver/front_record.h"
#include "driver/front_settings.h"
#include "runtime/env.h"
#include "runtime/log.h"

namespace netrove {

class ProgramContext;

struct FrontStatus {
  std::string entry_name, status_text, local_address_text;
};

class FrontEnd {
 public:
  // Runs the main entry with the two words (interface number 23).
  using MainRunner = std::function<void(const std::string& connection, const std::string& argument,
                                        bool start_asleep)>;
  FrontEnd(Env& env, MainRunner run_main);
  // A program still running is asked to stop, and awaited.
  ~FrontEnd();
  FrontEnd(const FrontEnd&) = delete;
  FrontEnd& operator=(const FrontEnd&) = delete;

  ChainArena& chains() { return chains_; }

  // --- netrove.dat in the program directory. Counts are -1 when the file
  // cannot be read or written.
  int32_t CountSections();
  std::vector<std::string> SectionNames();
  // Loads `name` in collect mode into the front-end's own record (never the
  // running program's) and fills `out`; false when the file cannot be
  // read or the connection is neither a section nor an entry.
  bool LoadSettings(const std::string& name, FrontSettings& out);
  // The settings in memory: those loaded last, else the running program's.
  FrontSettings CurrentSettings();
  int32_t WriteGlobal(const FrontSettings& s);
  std::vector<std::string> Warnings();
  std::vector<std::string> EntryNames();
  bool EntryDefaults(const std::string& entry, FrontSettings& s);
  int32_t DeleteSection(const FrontSettings& s);
  bool AppendSection(const FrontSettings& s);
  int32_t ReplaceSection(const FrontSettings& s);
  // The PASSWORD value for the record: the stored text when the password,
  // entry and user are those last shown, else the password scrambled anew.
  std::string PasswordValue(const FrontSettings& s);

  // --- The running program.
  // A stop asked for before the program attached, or while it runs, is
  // held: the clears of ControlRequest at a load or a dial keep it.
  void Attach(ProgramContext& p);
  void Detach(ProgramContext& p);
  FrontStatus Status();
  FrontEndStatistics Statistics();
  // Starts "AA" unless it runs; the stopped flag clears.
  void Start(const std::string& connection, const std::string& argument, bool start_asleep);
  bool Stopped() const { return stopped_.load(); }
  void SetRequest(uint8_t request);
  uint8_t Request();
  void HangUp();
  // Hang-up and stop of "AA", awaited for at most `wait_ms`; true when it
  // ended.
  bool Terminate(int wait_ms);
  void SuspendAll();
  void ResumeAll();

  // The routine every log line passes through (null: the program's own).
  void SetRoutine(LogRoutine routine);
  // The program's own routine: the attached program's log, else the text.
  std::string OwnRoutine(const std::string& message);
  // Logs through the routine.
  void LogText(const std::string& message);

 private:
  std::optional<std::string> ReadConfig();
  bool WriteConfig(const std::string& text);
  void Remember(const ConfigRecord& r);

  Env& env_;
  MainRunner run_main_;
  ChainArena chains_;

  // Recursive: a routine installed by the front-end may call the program's
  // own routine from inside a line that LogText writes under the lock.
  std::recursive_mutex mu_;
  ProgramContext* attached_ = nullptr;                                           // guarded by mu_
  bool pending_stop_ = false;                                                    // guarded by mu_
  uint8_t pending_request_ = 0;                                                  // guarded by mu_
  LogRoutine routine_;                                                           // guarded by mu_
  bool loaded_ = false;                                                          // guarded by mu_
  FrontSettings loaded_settings_;                                                // guarded by mu_
  std::vector<std::string> loaded_warnings_;                                     // guarded by mu_
  std::string shown_password_, shown_password_text_, shown_entry_, shown_user_;  // guarded by mu_

  std::mutex run_mu_;  // serialises Start, Terminate and the join
  std::thread aa_;     // guarded by run_mu_
  std::atomic<bool> stopped_{true};
};

// Attaches a program to the front-end for its lifetime (no-op without one).
class FrontEndAttachment {
 public:
  FrontEndAttachment(FrontEnd* front_end, ProgramContext& p) : front_end_(front_end), p_(p) {
    if (front_end_ != nullptr) front_end_->Attach(p_);
  }
  ~FrontEndAttachment() {
    if (front_end_ != nullptr) front_end_->Detach(p_);
  }
  FrontEndAttachment(const FrontEndAttachment&) = delete;
  FrontEndAttachment& operator=(const FrontEndAttachment&) = delete;

 private:
  FrontEnd* front_end_;
  ProgramContext& p_;
};

}  // namespace netrove
