#include "accounting/accounting.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "accounting/clock.h"
#include "accounting/statistics.h"
#include "runtime/local_clock.h"
#include "runtime/log.h"

namespace netrove {
namespace {

// NowSeconds of a local date and time.
uint32_t At(int year, int month, int day, int hour, int minute, int second = 0) {
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return static_cast<uint32_t>(timegm(&tm) + kSecondsShift);
}

const std::vector<std::string> kTariffs = {"00:00 1.8", "02:00 1.3", "10:00 1.8H"};

TEST(AccountingPeriods, DayRollsOverAtLocalMidnightAndDropsTheCrossingSeconds) {
  Accountant acc;
  StatRecord r;
  acc.Start(At(2024, 3, 5, 23, 59, 0), r, {});
  acc.Account(At(2024, 3, 5, 23, 59, 50), r, {});
  EXPECT_EQ(r.day_seconds, 50u);
  EXPECT_EQ(r.day, 5);
  acc.Account(At(2024, 3, 6, 0, 0, 10), r, {});
  EXPECT_EQ(r.day, 6);
  EXPECT_EQ(r.day_seconds, 0u);     // the crossing step counts for the total only
  EXPECT_EQ(r.week_seconds, 50u);   // same week (Tuesday to Wednesday)
  EXPECT_EQ(r.month_seconds, 50u);  // same month
  EXPECT_EQ(r.total_seconds, 70u);
  EXPECT_EQ(r.connection_seconds, 70u);
  acc.Account(At(2024, 3, 6, 0, 0, 15), r, {});
  EXPECT_EQ(r.day_seconds, 5u);
}

TEST(AccountingPeriods, WeekRestartsOnMondayNotOnSunday) {
  Accountant acc;
  StatRecord r;
  // 9 March 2024 is a Saturday.
  acc.Start(At(2024, 3, 9, 23, 0), r, {});
  acc.Account(At(2024, 3, 9, 23, 30), r, {});
  acc.Account(At(2024, 3, 10, 1, 0), r, {});  // Sunday: new day, same week
  acc.Account(At(2024, 3, 10, 1, 10), r, {});
  EXPECT_EQ(r.week_seconds, 1800u + 600u);
  EXPECT_EQ(r.week, At(2024, 3, 10, 12, 0) / 604800);

  // A statistics file written on Sunday continues until Monday 00:00.
  acc.Account(At(2024, 3, 10, 23, 59, 59), r, {});
  uint32_t sunday_week = r.week_seconds;
  EXPECT_GT(sunday_week, 2400u);
  acc.Account(At(2024, 3, 11, 0, 0, 1), r, {});
  EXPECT_EQ(r.week_seconds, 0u);
  EXPECT_EQ(r.week, At(2024, 3, 11, 0, 0) / 604800);
  EXPECT_NE(r.week, static_cast<uint16_t>(At(2024, 3, 10, 23, 0) / 604800));
  EXPECT_EQ(r.month_seconds, sunday_week);  // the month goes on
}

TEST(AccountingPeriods, MonthFollowsTheRealCalendarDate) {
  Accountant acc;
  StatRecord r;
  // The shifted count would call 29 January "1 February" and restart the
  // month three days early; the real date must not.
  acc.Start(At(2024, 1, 28, 12, 0), r, {});
  acc.Account(At(2024, 1, 28, 12, 10), r, {});
  acc.Account(At(2024, 1, 29, 12, 0), r, {});
  acc.Account(At(2024, 1, 29, 12, 10), r, {});
  EXPECT_EQ(r.month, 1);
  EXPECT_EQ(r.day, 29);
  EXPECT_EQ(r.month_seconds, 1200u);
  // 29 February exists in 2024: still February, then March restarts.
  acc.Account(At(2024, 2, 29, 8, 0), r, {});
  acc.Account(At(2024, 2, 29, 8, 1), r, {});
  EXPECT_EQ(r.month, 2);
  EXPECT_EQ(r.day, 29);
  EXPECT_EQ(r.month_seconds, 60u);
  acc.Account(At(2024, 3, 1, 0, 0, 30), r, {});
  EXPECT_EQ(r.month, 3);
  EXPECT_EQ(r.month_seconds, 0u);
  EXPECT_DOUBLE_EQ(r.month_cost, 0);
}

TEST(AccountingPeriods, SameDayAndMonthAYearLaterRestartsEveryPeriod) {
  Accountant acc;
  StatRecord r;
  acc.Start(At(2023, 5, 10, 9, 0), r, {});
  acc.Account(At(2023, 5, 10, 9, 30), r, {});
  ASSERT_EQ(r.month_seconds, 1800u);
  acc.Start(At(2024, 5, 10, 9, 0), r, {});
  EXPECT_EQ(r.day_seconds, 0u);
  EXPECT_EQ(r.week_seconds, 0u);
  EXPECT_EQ(r.month_seconds, 0u);
  EXPECT_EQ(r.total_seconds, 1800u);
}

TEST(AccountingPeriods, ClockGoingBackAddsNothing) {
  Accountant acc;
  StatRecord r;
  acc.Start(At(2024, 3, 5, 12, 0), r, {});
  acc.Account(At(2024, 3, 5, 12, 0, 10), r, {});
  acc.Account(At(2024, 3, 5, 11, 0, 0), r, {});
  EXPECT_EQ(r.total_seconds, 10u);
  acc.Account(At(2024, 3, 5, 11, 0, 5), r, {});
  EXPECT_EQ(r.total_seconds, 15u);
}

TEST(AccountingTariffs, RateFollowsTheTableAroundItsEdges) {
  Accountant acc;
  acc.SetTariffs(kTariffs, false);
  struct Case {
    int hour, minute, second;
    double rate;
  } cases[] = {
      {0, 30, 0, 1.8 / 60},  {1, 30, 0, 0.03},     {2, 0, 30, 1.8 / 60},  // 02:00 still 24 h back
      {2, 1, 0, 1.3 / 60},   {9, 59, 0, 1.3 / 60}, {10, 0, 0, 1.3 / 60},
      {10, 0, 59, 1.3 / 60}, {10, 1, 0, 0.0005},   {23, 59, 59, 0.0005},
  };
  for (const Case& c : cases) {
    acc.SelectTariff(At(2024, 3, 5, c.hour, c.minute, c.second));
    EXPECT_DOUBLE_EQ(acc.Rate(), c.rate) << c.hour << ":" << c.minute << ":" << c.second;
  }
}

TEST(AccountingTariffs, RateParsingAndTableChanges) {
  double rate = -1;
  EXPECT_TRUE(ParseTariffRate("10:00 1.8h", &rate));
  EXPECT_DOUBLE_EQ(rate, 0.0005);
  EXPECT_TRUE(ParseTariffRate("  08:00   0.6  ", &rate));
  EXPECT_DOUBLE_EQ(rate, 0.01);
  for (const char* bad : {"10:00", "10:00 abc", "10:00 1.8X", "10:00 -1", "10:00 inf", "10:00 H"})
    EXPECT_FALSE(ParseTariffRate(bad, &rate)) << bad;

  Accountant acc;
  acc.SetTariffs({"00:00 1.2"}, false);
  acc.SelectTariff(At(2024, 3, 5, 12, 0));
  EXPECT_DOUBLE_EQ(acc.Rate(), 0.02);
  acc.SetTariffs({"00:00 junk"}, false);  // unreadable rate keeps the current one
  acc.SelectTariff(At(2024, 3, 5, 12, 0));
  EXPECT_DOUBLE_EQ(acc.Rate(), 0.02);
  acc.SetTariffs({}, false);
  acc.SelectTariff(At(2024, 3, 5, 12, 0));
  EXPECT_DOUBLE_EQ(acc.Rate(), 0);
}

TEST(AccountingTariffs, CostIsChargedPerSecondAndTheTariffIsChosenOnceAMinute) {
  Accountant acc;
  acc.SetTariffs(kTariffs, false);
  StatRecord r;
  uint32_t t = At(2024, 3, 5, 9, 59, 0);
  acc.Start(t, r, {});
  acc.SelectTariff(t);  // next choice at 10:00:00
  acc.Account(t + 30, r, {});
  EXPECT_NEAR(r.total_cost, 30 * 1.3 / 60, 1e-9);
  acc.Account(t + 61, r, {});  // chooses at 10:00:01: 10:00 not yet in force
  EXPECT_NEAR(r.total_cost, 61 * 1.3 / 60, 1e-9);
  acc.Account(t + 121, r, {});  // 10:01:01: per hour now
  EXPECT_NEAR(r.total_cost, 61 * 1.3 / 60 + 60 * 0.0005, 1e-9);
  EXPECT_DOUBLE_EQ(r.day_cost, r.total_cost);
  EXPECT_DOUBLE_EQ(r.week_cost, r.total_cost);
  EXPECT_DOUBLE_EQ(r.month_cost, r.total_cost);
}

TEST(AccountingTariffs, ClosingChargeCompletesTheLastStartedMinute) {
  struct Case {
    uint32_t seconds;
    bool per_minute;
    double charged_seconds;
  } cases[] = {
      {125, true, 60 * 3}, {59, true, 59}, {61, true, 120}, {120, true, 120}, {125, false, 125}};
  for (const Case& c : cases) {
    Accountant acc;
    acc.SetTariffs({"00:00 6"}, c.per_minute);  // 0.1 per second
    StatRecord r;
    r.connection_seconds = 999;  // left from an earlier call
    uint32_t t = At(2024, 3, 5, 12, 0);
    acc.Start(t, r, {});
    acc.Account(t + 1, r, {});
    acc.End(t + c.seconds, r, {});
    EXPECT_EQ(r.connection_seconds, c.seconds);
    EXPECT_NEAR(r.total_cost, c.charged_seconds * 0.1, 1e-9) << c.seconds;
  }
}

TEST(AccountingLimits, OrderAndStrictlyGreater) {
  StatRecord r;
  r.day_seconds = 3600;
  r.week_seconds = 3600;
  r.month_seconds = 3600;
  TimeLimits limits{3600, 3600, 3600};
  EXPECT_EQ(CheckLimits(r, limits), LimitPeriod::kNone);
  r.month_seconds = 3601;
  EXPECT_EQ(CheckLimits(r, limits), LimitPeriod::kMonth);
  r.week_seconds = 3601;
  EXPECT_EQ(CheckLimits(r, limits), LimitPeriod::kWeek);
  r.day_seconds = 3601;
  EXPECT_EQ(CheckLimits(r, limits), LimitPeriod::kDay);
  EXPECT_EQ(CheckLimits(r, TimeLimits{0, 0, 3600}), LimitPeriod::kMonth);
  EXPECT_EQ(CheckLimits(r, TimeLimits{}), LimitPeriod::kNone);
  EXPECT_EQ(LimitMessage(LimitPeriod::kDay), "DAY TIME LIMIT!!!");
  EXPECT_EQ(LimitMessage(LimitPeriod::kWeek), "WEEK TIME LIMIT!!!");
  EXPECT_EQ(LimitMessage(LimitPeriod::kMonth), "MONHT TIME LIMIT!!!");

  // A 60-minute day limit is reached at the 3601st second on-line.
  Accountant acc;
  StatRecord on;
  uint32_t t = At(2024, 3, 5, 8, 0);
  TimeLimits day{3600, 3600, 0};
  acc.Start(t, on, day);
  for (uint32_t s = 1; s <= 3600; s += 7)
    EXPECT_EQ(acc.Account(t + s, on, day), LimitPeriod::kNone);
  EXPECT_EQ(acc.Account(t + 3600, on, day), LimitPeriod::kNone);
  EXPECT_EQ(acc.Account(t + 3601, on, day), LimitPeriod::kDay);
}

class AccountingFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    // A death-test child is a new process of this program: it works in the
    // directory of its parent.
    bool child = !GTEST_FLAG_GET(internal_run_death_test).empty();
    dir_ = std::filesystem::temp_directory_path() /
           ("netrove_acc_" + std::to_string(child ? getppid() : getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    if (!child) {
      std::filesystem::remove_all(dir_);
      std::filesystem::create_directories(dir_);
    }
    clock_ = At(2024, 3, 5, 12, 0) - kSecondsShift;
    SetLocalClockForTesting([this] { return clock_.load(); });
  }
  void TearDown() override {
    SetLocalClockForTesting(nullptr);
    SetLogFileName("");
    LoadStatistics("");
    SetTimeLimits({});
    SetTariffs({}, false);
    std::filesystem::remove_all(dir_);
  }
  std::string Name() const { return (dir_ / "conn").string(); }
  std::filesystem::path dir_;
  std::atomic<int64_t> clock_{0};
};

StatRecord ReadLim(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  auto r = StatRecord::Decode(ss.str());
  EXPECT_TRUE(r.has_value()) << path;
  return r.value_or(StatRecord{});
}

TEST_F(AccountingFiles, StatisticsFileIsRewrittenAtEveryDisconnect) {
  LoadStatistics(Name());
  SetTariffs({"00:00 6"}, true);
  StartAccounting(NowSeconds());
  SelectTariff();
  EXPECT_DOUBLE_EQ(CurrentRate(), 0.1);
  clock_ += 30;
  Account(NowSeconds());
  clock_ += 40;
  EndAccounting();
  StatRecord first = ReadLim(Name() + ".lim");
  EXPECT_EQ(first.connection_seconds, 70u);
  EXPECT_EQ(first.total_seconds, 70u);
  EXPECT_EQ(first.day, 5);
  EXPECT_EQ(first.month, 3);
  EXPECT_NEAR(first.total_cost, 120 * 0.1, 1e-9);  // 70 s plus 50 s to the full minute

  clock_ += 600;
  StartAccounting(NowSeconds());
  clock_ += 5;
  EndAccounting();
  StatRecord second = ReadLim(Name() + ".lim");
  EXPECT_EQ(second.connection_seconds, 5u);
  EXPECT_EQ(second.total_seconds, 75u);
  EXPECT_EQ(second.day_seconds, 75u);
}

TEST_F(AccountingFiles, LimitSavesLogsAndEndsTheProgramWithTheReport) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string log = (dir_ / "netrove.log").string();
  std::string out = (dir_ / "stdout.txt").string();
  EXPECT_EXIT(
      {
        if (std::freopen(out.c_str(), "w", stdout) == nullptr) std::_Exit(3);
        SetLogFileName(log);
        LoadStatistics(Name());
        SetTimeLimits({0, 60, 0});
        StartAccounting(NowSeconds());
        clock_ += 60;
        Account(NowSeconds());  // 60 s: not yet
        clock_ += 1;
        Account(NowSeconds());  // 61 s: the week limit
        std::_Exit(5);          // not reached
      },
      ::testing::ExitedWithCode(0), "");
  auto read = [](const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  };
  EXPECT_NE(read(log).find("FATAL: TIME LIMIT!!!"), std::string::npos);
  std::string report = read(out);
  EXPECT_NE(report.find("WEEK TIME LIMIT!!!"), std::string::npos) << report;
  EXPECT_NE(report.find("Week times  : 00:01:01      Limit: 00:01:00"), std::string::npos);
  EXPECT_EQ(ReadLim(Name() + ".lim").week_seconds, 61u);
}

}  // namespace
}  // namespace netrove
