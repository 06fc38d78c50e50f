// On-line time accounting, tariffs and the day, week and month limits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace netrove {

// The tariff table (COST lines, in file order) and COSTPERMINUTE; set by
// every configuration load.
void SetTariffs(const std::vector<std::string>& cost_lines, bool cost_per_minute);

// At each connect: both accounting marks := now, then one Account(now).
void StartAccounting(uint32_t now);
// About once a second while on-line. Rolls the day, week and month over,
// adds the elapsed time and its cost, and enforces the limits: a limit
// reached saves the statistics, logs "FATAL: TIME LIMIT!!!" and ends the
// program with the report (it does not return then).
void Account(uint32_t now);
// At each disconnect: Account(NowSeconds()), the per-minute closing
// charge, SaveStatistics.
void EndAccounting();
// Chooses the current rate from the tariff table.
void SelectTariff();
// Money per second of the current tariff.
double CurrentRate();

}  // namespace netrove
