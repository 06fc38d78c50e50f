// On-line time accounting, tariffs and the day, week and month limits.
//
// The arithmetic lives in `Accountant`, which takes every clock reading as
// an argument and works on a StatRecord handed in, so it can be driven by
// tests without waiting. `Accounting` runs one Accountant against the
// statistics of the connection in use and acts on a reached limit.
//
// Thread safety: every member may be called from any task. Nothing here
// fails: unreadable tariff rates are skipped, a statistics file that cannot
// be written is left as it was.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "accounting/statistics.h"
#include "runtime/console.h"
#include "runtime/env.h"
#include "runtime/log.h"
#include "runtime/shared_state.h"

namespace netrove {

enum class LimitPeriod { kNone, kDay, kWeek, kMonth };

// The limit, if any, that `record` has passed: day, week, month in that
// order; a limit of 0 is none and a period must exceed its limit strictly.
LimitPeriod CheckLimits(const StatRecord& record, const TimeLimits& limits);
// "DAY TIME LIMIT!!!", "WEEK TIME LIMIT!!!", "MONHT TIME LIMIT!!!"; "" for kNone.
std::string LimitMessage(LimitPeriod period);

// Money per second of one COST line ("H:MM rate[H]"); false when the rate
// is not a finite, non-negative number.
bool ParseTariffRate(const std::string& cost_line, double* per_second);

class Accountant {
 public:
  // The tariff table (COST lines, file order) and COSTPERMINUTE. Chooses
  // the tariff again at the next accounting.
  void SetTariffs(std::vector<std::string> cost_lines, bool cost_per_minute);

  // A connection starts at `now`: both marks := now, connection seconds := 0,
  // period roll-over and the limits checked.
  LimitPeriod Start(uint32_t now, StatRecord& record, const TimeLimits& limits);
  // Adds the time since the last accounting and its cost; rolls day, week
  // and month over (the real local date of `now` decides day and month).
  // Returns the limit passed, if any. A clock that went back adds nothing.
  LimitPeriod Account(uint32_t now, StatRecord& record, const TimeLimits& limits);
  // A connection ends: Account(now), then with COSTPERMINUTE the seconds
  // that complete the last started minute are charged (only when more than 1).
  LimitPeriod End(uint32_t now, StatRecord& record, const TimeLimits& limits);
  // Chooses the rate in force at `now`; the next choice is due at now + 60.
  void SelectTariff(uint32_t now);
  double Rate() const;

 private:
  LimitPeriod AccountLocked(uint32_t now, StatRecord& record, const TimeLimits& limits);
  void SelectTariffLocked(uint32_t now);

  mutable std::mutex mu_;
  std::vector<std::string> tariffs_;
  bool cost_per_minute_ = false;
  double rate_ = 0;           // money per second
  uint32_t next_choice_ = 0;  // NowSeconds of the next SelectTariff
  uint32_t last_accounted_ = 0;
  uint32_t previous_call_ = 0;
};

// What the session controller asks of the accounting of a call.
class CallAccounting {
 public:
  virtual ~CallAccounting() = default;
  // At each connect: both accounting marks := now, then one accounting.
  virtual void StartCall(uint32_t now) = 0;
  // About once a second while on-line.
  virtual void Tick(uint32_t now) = 0;
  // At each disconnect: accounting at the clock's now, the per-minute
  // closing charge, the statistics saved.
  virtual void EndCall() = 0;
  // Chooses the current rate from the tariff table.
  virtual void SelectTariff() = 0;
  // Saves the statistics (also every minute while on-line).
  virtual void Save() = 0;
};

// The accounting of the connection in use: the statistics record and its
// file "<name>.lim", the time limits, the tariffs. A limit reached saves
// the statistics, logs "FATAL: TIME LIMIT!!!" and ends the program with
// the report (the call does not return then). Thread-safe.
class Accounting final : public CallAccounting {
 public:
  Accounting(Env& env, Log& log, Console& console, SharedState& shared)
      : env_(env), log_(log), console_(console), shared_(shared) {}

  void StartCall(uint32_t now) override;
  void Tick(uint32_t now) override;
  void EndCall() override;
  void SelectTariff() override;
  void Save() override;

  // Zeroes the record and reads name + ".lim"; a missing or short file
  // leaves zeros. The file stays "in use" for Save even when unreadable.
  // An empty name uses no file.
  void Load(const std::string& name);
  // Time limits (seconds), tariff table and COSTPERMINUTE of a new
  // configuration.
  void Configure(const TimeLimits& limits, std::vector<std::string> cost_lines,
                 bool cost_per_minute);

  StatRecord Record() const;
  TimeLimits Limits() const;
  std::string FileName() const;  // "" when no file is in use
  double Rate() const { return accountant_.Rate(); }

  // Clears the screen, prints the report of the connection in use and
  // ends the program (exit code 0).
  [[noreturn]] void PrintReport(const std::string& closing_message);

 private:
  template <typename Step>
  LimitPeriod OnRecord(Step step);
  void ActOnLimit(LimitPeriod period);

  Env& env_;
  Log& log_;
  Console& console_;
  SharedState& shared_;
  Accountant accountant_;
  mutable std::mutex mu_;  // serialises read-modify-write of the record
  StatRecord record_;      // guarded by mu_
  std::string file_;       // guarded by mu_; "" = no file in use
  TimeLimits limits_;      // guarded by mu_
};

}  // namespace netrove
