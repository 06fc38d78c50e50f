#include "accounting/accounting.h"

#include <gtest/gtest.h>

#include <tuple>

#include "lib/local_time.h"
#include "lib/test_context.h"

namespace netrove {
namespace {

using testing_time::NowSecondsAt;

using Seconds = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;
// Day, week, month and total seconds of a record.
Seconds Secs(const StatRecord& r) {
  return {r.day_seconds, r.week_seconds, r.month_seconds, r.total_seconds};
}

TEST(AccountingPeriods, DayRollsOverAtMidnightAndDropsTheCrossingSeconds) {
  Accountant acc;
  StatRecord r;
  acc.Start(NowSecondsAt(2024, 3, 5, 23, 59, 0), r, {});
  acc.Account(NowSecondsAt(2024, 3, 5, 23, 59, 50), r, {});
  EXPECT_EQ(Secs(r), Seconds(50, 50, 50, 50));
  EXPECT_EQ(r.day, 5);
  acc.Account(NowSecondsAt(2024, 3, 6, 0, 0, 10), r, {});  // Tuesday to Wednesday
  EXPECT_EQ(Secs(r), Seconds(0, 50, 50, 70));  // the crossing step counts for the total only
  EXPECT_EQ(r.day, 6);
  EXPECT_EQ(r.connection_seconds, 70u);
  acc.Account(NowSecondsAt(2024, 3, 6, 0, 0, 15), r, {});
  EXPECT_EQ(Secs(r), Seconds(5, 55, 55, 75));
  // Clock going back adds nothing; counting goes on from the new reading.
  acc.Account(NowSecondsAt(2024, 3, 5, 23, 0, 0), r, {});
  acc.Account(NowSecondsAt(2024, 3, 5, 23, 0, 5), r, {});
  EXPECT_EQ(r.total_seconds, 80u);
}

TEST(AccountingPeriods, WeekRestartsOnMondayNotOnSunday) {
  Accountant acc;
  StatRecord r;
  acc.Start(NowSecondsAt(2024, 3, 9, 23, 0), r, {});  // a Saturday
  acc.Account(NowSecondsAt(2024, 3, 9, 23, 30), r, {});
  acc.Account(NowSecondsAt(2024, 3, 10, 1, 0), r, {});  // Sunday: new day, same week
  acc.Account(NowSecondsAt(2024, 3, 10, 1, 10), r, {});
  EXPECT_EQ(Secs(r), Seconds(600, 2400, 2400, 7800));
  EXPECT_EQ(r.week, NowSecondsAt(2024, 3, 10, 12, 0) / 604800);
  acc.Account(NowSecondsAt(2024, 3, 10, 23, 59, 59), r, {});
  EXPECT_EQ(Secs(r), Seconds(82799, 84599, 84599, 89999));
  acc.Account(NowSecondsAt(2024, 3, 11, 0, 0, 1), r, {});
  EXPECT_EQ(Secs(r), Seconds(0, 0, 84599, 90001));
  EXPECT_EQ(r.week, NowSecondsAt(2024, 3, 11, 0, 0) / 604800);
}

TEST(AccountingPeriods, MonthFollowsTheRealCalendarDate) {
  Accountant acc;
  StatRecord r;
  // The shifted count would call 29 January "1 February" and restart the
  // month three days early; the real date must not.
  acc.Start(NowSecondsAt(2024, 1, 28, 12, 0), r, {});
  acc.Account(NowSecondsAt(2024, 1, 28, 12, 10), r, {});
  acc.Account(NowSecondsAt(2024, 1, 29, 12, 0), r, {});
  acc.Account(NowSecondsAt(2024, 1, 29, 12, 10), r, {});
  EXPECT_EQ(std::make_tuple(r.month, r.day, r.month_seconds), std::make_tuple(1, 29, 1200u));
  // 29 February exists in 2024: still February, then March restarts.
  acc.Account(NowSecondsAt(2024, 2, 29, 8, 0), r, {});
  acc.Account(NowSecondsAt(2024, 2, 29, 8, 1), r, {});
  EXPECT_EQ(std::make_tuple(r.month, r.day, r.month_seconds), std::make_tuple(2, 29, 60u));
  acc.Account(NowSecondsAt(2024, 3, 1, 0, 0, 30), r, {});
  EXPECT_EQ(std::make_tuple(r.month, r.day, r.month_seconds), std::make_tuple(3, 1, 0u));
  EXPECT_DOUBLE_EQ(r.month_cost, 0);
  // The same day and month a year later restarts every period.
  acc.Start(NowSecondsAt(2025, 3, 1, 0, 0, 30), r, {});
  EXPECT_EQ(Secs(r), Seconds(0, 0, 0, r.total_seconds));
  EXPECT_GT(r.total_seconds, 0u);
}

TEST(AccountingTariffs, RateFollowsTheTableAroundItsEdges) {
  Accountant acc;
  acc.SetTariffs({"00:00 1.8", "02:00 1.3", "10:00 1.8H"}, false);
  struct Case {
    int hour, minute, second;
    double rate;
  } cases[] = {
      {0, 30, 0, 1.8 / 60},  {1, 30, 0, 0.03},     {2, 0, 30, 1.8 / 60},  // 02:00 still 24 h back
      {2, 1, 0, 1.3 / 60},   {9, 59, 0, 1.3 / 60}, {10, 0, 0, 1.3 / 60},
      {10, 0, 59, 1.3 / 60}, {10, 1, 0, 0.0005},   {23, 59, 59, 0.0005}};
  for (const Case& c : cases) {
    acc.SelectTariff(NowSecondsAt(2024, 3, 5, c.hour, c.minute, c.second));
    EXPECT_DOUBLE_EQ(acc.Rate(), c.rate) << c.hour << ":" << c.minute << ":" << c.second;
  }
  // A table that cannot be read keeps the current rate; an empty one is free.
  acc.SetTariffs({"00:00 junk"}, false);
  acc.SelectTariff(NowSecondsAt(2024, 3, 5, 12, 0));
  EXPECT_DOUBLE_EQ(acc.Rate(), 0.0005);
  acc.SetTariffs({}, false);
  acc.SelectTariff(NowSecondsAt(2024, 3, 5, 12, 0));
  EXPECT_DOUBLE_EQ(acc.Rate(), 0);
  double rate = -1;
  EXPECT_TRUE(ParseTariffRate("  08:00   0.6h  ", &rate));
  EXPECT_DOUBLE_EQ(rate, 0.6 / 3600);
  for (const char* bad : {"10:00", "10:00 abc", "10:00 1.8X", "10:00 -1", "10:00 inf", "10:00 H"})
    EXPECT_FALSE(ParseTariffRate(bad, &rate)) << bad;
}

TEST(AccountingTariffs, CostIsChargedPerSecondAndTheTariffIsChosenOnceAMinute) {
  Accountant acc;
  acc.SetTariffs({"00:00 1.8", "02:00 1.3", "10:00 1.8H"}, false);
  StatRecord r;
  uint32_t t = NowSecondsAt(2024, 3, 5, 9, 59, 0);
  acc.Start(t, r, {});
  acc.SelectTariff(t);  // next choice at 10:00:00
  acc.Account(t + 30, r, {});
  EXPECT_NEAR(r.total_cost, 30 * 1.3 / 60, 1e-9);
  acc.Account(t + 61, r, {});  // chooses at 10:00:01: 10:00 not yet in force
  EXPECT_NEAR(r.total_cost, 61 * 1.3 / 60, 1e-9);
  acc.Account(t + 121, r, {});  // 10:01:01: per hour now
  EXPECT_NEAR(r.total_cost, 61 * 1.3 / 60 + 60 * 0.0005, 1e-9);
  EXPECT_EQ(std::make_tuple(r.day_cost, r.week_cost, r.month_cost),
            std::make_tuple(r.total_cost, r.total_cost, r.total_cost));
}

TEST(AccountingTariffs, ClosingChargeCompletesTheLastStartedMinute) {
  struct Case {
    uint32_t seconds;
    bool per_minute;
    double charged_seconds;
  } cases[] = {
      {125, true, 180}, {59, true, 59}, {61, true, 120}, {120, true, 120}, {125, false, 125}};
  for (const Case& c : cases) {
    Accountant acc;
    acc.SetTariffs({"00:00 6"}, c.per_minute);  // 0.1 per second
    StatRecord r;
    r.connection_seconds = 999;  // left from an earlier call
    uint32_t t = NowSecondsAt(2024, 3, 5, 12, 0);
    acc.Start(t, r, {});
    acc.Account(t + 1, r, {});
    acc.End(t + c.seconds, r, {});
    EXPECT_EQ(r.connection_seconds, c.seconds);
    EXPECT_NEAR(r.total_cost, c.charged_seconds * 0.1, 1e-9) << c.seconds;
  }
}

TEST(AccountingLimits, OrderDayWeekMonthAndStrictlyGreater) {
  struct Case {
    uint32_t day, week, month;
    TimeLimits limits;
    LimitPeriod want;
  } cases[] = {{3600, 3600, 3600, {3600, 3600, 3600}, LimitPeriod::kNone},
               {3600, 3600, 3601, {3600, 3600, 3600}, LimitPeriod::kMonth},
               {3600, 3601, 3601, {3600, 3600, 3600}, LimitPeriod::kWeek},
               {3601, 3601, 3601, {3600, 3600, 3600}, LimitPeriod::kDay},
               {3601, 3601, 3601, {0, 0, 3600}, LimitPeriod::kMonth},
               {3601, 3601, 3601, {0, 0, 0}, LimitPeriod::kNone}};
  for (const Case& c : cases) {
    StatRecord r;
    r.day_seconds = c.day;
    r.week_seconds = c.week;
    r.month_seconds = c.month;
    EXPECT_EQ(CheckLimits(r, c.limits), c.want) << c.day << " " << c.week << " " << c.month;
  }
  EXPECT_EQ(LimitMessage(LimitPeriod::kDay) + LimitMessage(LimitPeriod::kWeek) +
                LimitMessage(LimitPeriod::kMonth),
            "DAY TIME LIMIT!!!WEEK TIME LIMIT!!!MONHT TIME LIMIT!!!");  // spelled so
  // A 60-minute day limit is reached at the 3601st second on-line.
  Accountant acc;
  StatRecord on;
  uint32_t t = NowSecondsAt(2024, 3, 5, 8, 0);
  TimeLimits day{3600, 3600, 0};
  acc.Start(t, on, day);
  for (uint32_t s = 1; s <= 3600; s += 7)
    EXPECT_EQ(acc.Account(t + s, on, day), LimitPeriod::kNone);
  EXPECT_EQ(acc.Account(t + 3600, on, day), LimitPeriod::kNone);
  EXPECT_EQ(acc.Account(t + 3601, on, day), LimitPeriod::kDay);
}

// The accounting of the connection in use on the in-memory Env: the
// statistics file is rewritten at every disconnect (and kept whole when
// the disk fails); the limit stop itself (log, report, saved file) is
// tested end to end in the session cases.
class AccountingFiles : public ::testing::Test {
 protected:
  AccountingFiles() : env_(testing::FakeEnv::ClockMode::kAuto, NowSecondsAt(2024, 3, 5, 12, 0) - kSecondsShift) {}
  StatRecord Saved(const std::string& file = "conn.lim") {
    auto r = StatRecord::Decode(env_.FileText(file).value_or(""));
    EXPECT_TRUE(r.has_value());
    return r.value_or(StatRecord{});
  }
  void Pass(int seconds) { env_.Advance(seconds * 1000); }
  testing::FakeEnv env_;
  testing::FaultEnv faults_{env_};
  testing::TestContext context_{&faults_};
  Accounting acc_{faults_, context_.log, context_.console, context_.shared};
};

TEST_F(AccountingFiles, StatisticsFileIsRewrittenAtEveryDisconnect) {
  acc_.Load("conn");
  acc_.Configure({}, {"00:00 6"}, true);
  acc_.StartCall(NowSeconds(env_));
  acc_.SelectTariff();
  EXPECT_DOUBLE_EQ(acc_.Rate(), 0.1);
  Pass(30);
  acc_.Tick(NowSeconds(env_));
  Pass(40);
  acc_.EndCall();
  StatRecord first = Saved();
  EXPECT_EQ(std::make_tuple(first.connection_seconds, first.total_seconds, first.day, first.month),
            std::make_tuple(70u, 70u, uint16_t{5}, uint16_t{3}));
  EXPECT_NEAR(first.total_cost, 120 * 0.1, 1e-9);  // 70 s plus 50 s to the full minute
  Pass(600);
  acc_.StartCall(NowSeconds(env_));
  Pass(5);
  acc_.EndCall();
  StatRecord second = Saved();
  EXPECT_EQ(std::make_tuple(second.connection_seconds, second.total_seconds, second.day_seconds),
            std::make_tuple(5u, 75u, 75u));
  // A full disk or a failed rename leaves the last good file whole.
  for (int fault = 0; fault < 2; ++fault) {
    faults_.SetDiskFull(fault == 0);
    faults_.FailRenames(fault == 1);
    acc_.StartCall(NowSeconds(env_));
    Pass(7);
    acc_.EndCall();
    EXPECT_EQ(Saved().total_seconds, 75u) << fault;
    EXPECT_EQ(env_.Paths(), std::vector<std::string>{"conn.lim"}) << "no temporary file left";
  }
}

TEST_F(AccountingFiles, LoadOfMissingShortAndNoFile) {
  acc_.Load("Office");  // no file yet: zeros, but the file is in use
  EXPECT_EQ(acc_.Record().total_seconds, 0u);
  EXPECT_EQ(acc_.FileName(), "Office.lim");
  env_.PutFile("Short.lim", std::string(20, '\x7f'));
  acc_.Load("Short");  // a short file reads as zeros
  EXPECT_EQ(acc_.Record().total_seconds, 0u);
  acc_.Load("");  // no name: no file at all
  EXPECT_EQ(acc_.FileName(), "");
  acc_.Save();
  EXPECT_EQ(env_.Paths(), std::vector<std::string>{"Short.lim"});
}

}  // namespace
}  // namespace netrove
