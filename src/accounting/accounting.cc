#include "accounting/accounting.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "runtime/clock.h"
#include "runtime/program.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr uint32_t kSecondsPerWeek = 604800;
// A month cannot hold more week starts than this; a longer gap means the
// same month number of a later year.
constexpr int kMaxWeeksInMonth = 5;

std::string TariffTime(const std::string& line) {
  std::string t = Trim(line);
  return t.substr(0, t.find(' '));
}

void AddCost(StatRecord& r, double amount) {
  r.day_cost += amount;
  r.week_cost += amount;
  r.month_cost += amount;
  r.total_cost += amount;
}

// Restarts the counters of every period that `now` no longer belongs to.
// Returns true when the day changed.
bool RollOver(uint32_t now, StatRecord& r) {
  // Day and month come from the real local date, not the shifted count.
  LocalDateTime date = BreakDownLocal(static_cast<int64_t>(now) - kSecondsShift);
  uint32_t week_full = now / kSecondsPerWeek;
  auto week = static_cast<uint16_t>(week_full);
  auto day = static_cast<uint16_t>(date.day);
  auto month = static_cast<uint16_t>(date.month);
  if (r.day == day && r.month == month && r.week == week) return false;

  int weeks_apart = std::abs(static_cast<int>(week) - static_cast<int>(r.week));
  r.day_seconds = 0;
  r.day_cost = 0;
  r.day = day;
  if (r.week != week) {
    r.week_seconds = 0;
    r.week_cost = 0;
    r.week = week;
  }
  if (r.month != month || weeks_apart > kMaxWeeksInMonth) {
    r.month_seconds = 0;
    r.month_cost = 0;
    r.month = month;
  }
  return true;
}

}  // namespace

LimitPeriod CheckLimits(const StatRecord& r, const TimeLimits& limits) {
  auto over = [](uint32_t seconds, int32_t limit) {
    return limit > 0 && seconds > static_cast<uint32_t>(limit);
  };
  if (over(r.day_seconds, limits.day)) return LimitPeriod::kDay;
  if (over(r.week_seconds, limits.week)) return LimitPeriod::kWeek;
  if (over(r.month_seconds, limits.month)) return LimitPeriod::kMonth;
  return LimitPeriod::kNone;
}

std::string LimitMessage(LimitPeriod period) {
  switch (period) {
    case LimitPeriod::kDay:
      return "DAY TIME LIMIT!!!";
    case LimitPeriod::kWeek:
      return "WEEK TIME LIMIT!!!";
    case LimitPeriod::kMonth:
      return "MONHT TIME LIMIT!!!";
    case LimitPeriod::kNone:
      break;
  }
  return "";
}

bool ParseTariffRate(const std::string& cost_line, double* per_second) {
  std::string line = Trim(cost_line);
  size_t space = line.find(' ');
  if (space == std::string::npos) return false;
  std::string rate = Trim(line.substr(space + 1));
  double divisor = 60;
  if (!rate.empty() && (rate.back() == 'H' || rate.back() == 'h')) {
    divisor = 3600;
    rate = Trim(rate.substr(0, rate.size() - 1));
  }
  double value = 0;
  const char* end = rate.data() + rate.size();
  auto [ptr, ec] = std::from_chars(rate.data(), end, value, std::chars_format::fixed);
  if (rate.empty() || ec != std::errc() || ptr != end || !std::isfinite(value) || value < 0)
    return false;
  *per_second = value / divisor;
  return true;
}

void Accountant::SetTariffs(std::vector<std::string> cost_lines, bool cost_per_minute) {
  std::lock_guard<std::mutex> lock(mu_);
  tariffs_ = std::move(cost_lines);
  cost_per_minute_ = cost_per_minute;
  if (tariffs_.empty()) rate_ = 0;
  next_choice_ = 0;  // choose again at the next accounting
}

void Accountant::SelectTariff(uint32_t now) {
  std::lock_guard<std::mutex> lock(mu_);
  SelectTariffLocked(now);
}

void Accountant::SelectTariffLocked(uint32_t now) {
  next_choice_ = now + 60;
  if (tariffs_.empty()) {
    rate_ = 0;
    return;
  }
  // The entry whose clock time came last within the past 24 hours; on equal
  // starts the earlier entry wins, and the first entry when none qualifies.
  size_t chosen = 0;
  bool found = false;
  uint32_t best_start = 0;
  for (size_t i = 0; i < tariffs_.size(); ++i) {
    uint32_t start = NextTimeOf(now - 86400, TariffTime(tariffs_[i]));
    if (start > now) continue;
    if (!found || start > best_start) {
      found = true;
      best_start = start;
      chosen = i;
    }
  }
  double per_second = 0;
  if (ParseTariffRate(tariffs_[chosen], &per_second)) rate_ = per_second;
}

double Accountant::Rate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return rate_;
}

LimitPeriod Accountant::Start(uint32_t now, StatRecord& record, const TimeLimits& limits) {
  std::lock_guard<std::mutex> lock(mu_);
  last_accounted_ = now;
  previous_call_ = now;
  record.connection_seconds = 0;
  RollOver(now, record);
  return CheckLimits(record, limits);
}

LimitPeriod Accountant::Account(uint32_t now, StatRecord& record, const TimeLimits& limits) {
  std::lock_guard<std::mutex> lock(mu_);
  return AccountLocked(now, record, limits);
}

LimitPeriod Accountant::AccountLocked(uint32_t now, StatRecord& r, const TimeLimits& limits) {
  if (now == previous_call_) return LimitPeriod::kNone;
  previous_call_ = now;
  uint32_t elapsed = now > last_accounted_ ? now - last_accounted_ : 0;
  last_accounted_ = now;
  r.total_seconds += elapsed;
  r.connection_seconds += elapsed;

  if (RollOver(now, r)) elapsed = 0;
  r.day_seconds += elapsed;
  r.week_seconds += elapsed;
  r.month_seconds += elapsed;

  // Charged before the limits are looked at, so a limit stop saves the
  // cost of the seconds it saves.
  if (!tariffs_.empty()) {
    if (now >= next_choice_) SelectTariffLocked(now);
    AddCost(r, elapsed * rate_);
  }
  return CheckLimits(r, limits);
}

LimitPeriod Accountant::End(uint32_t now, StatRecord& r, const TimeLimits& limits) {
  std::lock_guard<std::mutex> lock(mu_);
  LimitPeriod period = AccountLocked(now, r, limits);
  if (cost_per_minute_ && !tariffs_.empty()) {
    // The seconds that complete the connection's last started minute.
    uint32_t rest = (60 - r.connection_seconds % 60) % 60;
    if (rest > 1) AddCost(r, rest * rate_);
  }
  return period;
}

// --- The accounting of the connection in use.

template <typename Step>
LimitPeriod Accounting::OnRecord(Step step) {
  std::lock_guard<std::mutex> lock(mu_);
  return step(record_, limits_);
}

void Accounting::ActOnLimit(LimitPeriod period) {
  if (period == LimitPeriod::kNone) return;
  Save();
  log_.Write("FATAL: TIME LIMIT!!!");
  PrintReport(LimitMessage(period));
}

void Accounting::StartCall(uint32_t now) {
  ActOnLimit(OnRecord(
      [&](StatRecord& r, const TimeLimits& limits) { return accountant_.Start(now, r, limits); }));
}

void Accounting::Tick(uint32_t now) {
  ActOnLimit(OnRecord([&](StatRecord& r, const TimeLimits& limits) {
    return accountant_.Account(now, r, limits);
  }));
}

void Accounting::EndCall() {
  uint32_t now = NowSeconds(env_);
  LimitPeriod period = OnRecord(
      [&](StatRecord& r, const TimeLimits& limits) { return accountant_.End(now, r, limits); });
  Save();
  ActOnLimit(period);
}

void Accounting::SelectTariff() { accountant_.SelectTariff(NowSeconds(env_)); }

void Accounting::Save() {
  std::lock_guard<std::mutex> lock(mu_);
  if (file_.empty()) return;
  auto bytes = record_.Encode();
  (void)WriteFileAtomically(
      env_, file_, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void Accounting::Load(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  if (name.empty()) {
    file_.clear();
    return;  // counters neither loaded nor saved
  }
  record_ = StatRecord{};
  file_ = name + ".lim";
  if (auto data = env_.ReadFile(file_, StatRecord::kFileSize)) {
    if (auto r = StatRecord::Decode(*data)) record_ = *r;
  }
}

void Accounting::Configure(const TimeLimits& limits, std::vector<std::string> cost_lines,
                           bool cost_per_minute) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    limits_ = limits;
  }
  accountant_.SetTariffs(std::move(cost_lines), cost_per_minute);
}

StatRecord Accounting::Record() const {
  std::lock_guard<std::mutex> lock(mu_);
  return record_;
}

TimeLimits Accounting::Limits() const {
  std::lock_guard<std::mutex> lock(mu_);
  return limits_;
}

std::string Accounting::FileName() const {
  std::lock_guard<std::mutex> lock(mu_);
  return file_;
}

void Accounting::PrintReport(const std::string& closing_message) {
  console_.ClearScreen();
  console_.Write(
      StatisticsReport(shared_.connection_arg.Get(), Record(), Limits(), closing_message));
  HaltProgram(0);
}

}  // namespace netrove
