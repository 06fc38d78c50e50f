// On-line time accounting, tariffs and the day, week and month limits.
//
// The arithmetic lives in `Accountant`, which takes every clock reading as
// an argument and works on a StatRecord handed in, so it can be driven by
// tests without waiting. The free functions below run the one process-wide
// Accountant against the statistics store (statistics.h) and act on a
// reached limit.
//
// Thread safety: every function and every Accountant method may be called
// from any task; an Accountant serialises its callers with its own lock.
// Nothing here fails: unreadable tariff rates are skipped.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "accounting/statistics.h"

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

// --- The process-wide accounting (statistics store, NowSeconds clock).

// The tariff table and COSTPERMINUTE; set by every configuration load.
void SetTariffs(const std::vector<std::string>& cost_lines, bool cost_per_minute);

// At each connect: both accounting marks := now, then one Account(now).
void StartAccounting(uint32_t now);
// About once a second while on-line. A limit reached saves the statistics,
// logs "FATAL: TIME LIMIT!!!" and ends the program with the report (it does
// not return then).
void Account(uint32_t now);
// At each disconnect: Account(NowSeconds()), the per-minute closing charge,
// SaveStatistics.
void EndAccounting();
// Chooses the current rate from the tariff table at NowSeconds().
void SelectTariff();
// Money per second of the current tariff.
double CurrentRate();

}  // namespace netrove
