// Accounting: periods of the on-line time, tariffs and cost, time limits, the
// statistics file (layout, report) and its saving when the disk fails.
#include "accounting/accounting.h"

#include <gtest/gtest.h>

#include "lib/local_time.h"
#include "lib/test_context.h"

namespace netrove {
namespace {

using testing_time::NowSecondsAt;
using Seconds = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;

// One call, walked through local times of 2024; each step returns the
// day, week, month and total seconds of the record.
struct Walk {
  Walk(int month, int day, int hour, int minute, int second = 0) {
    acc.Start(NowSecondsAt(2024, month, day, hour, minute, second), r, {});
  }
  Seconds To(int month, int day, int hour, int minute, int second = 0) {
    acc.Account(NowSecondsAt(2024, month, day, hour, minute, second), r, {});
    return {r.day_seconds, r.week_seconds, r.month_seconds, r.total_seconds};
  }
  Accountant acc;
  StatRecord r;
};

TEST(AccountingPeriods, DayWeekAndMonthRollOverAndDropTheCrossingSeconds) {
  Walk w(3, 5, 23, 59);
  EXPECT_EQ(w.To(3, 5, 23, 59, 50), Seconds(50, 50, 50, 50));
  EXPECT_EQ(w.r.day, 5);
  // Tuesday to Wednesday: the crossing step counts for the total only.
  EXPECT_EQ(w.To(3, 6, 0, 0, 10), Seconds(0, 50, 50, 70));
  EXPECT_EQ(std::make_tuple(w.r.day, w.r.connection_seconds), std::make_tuple(6, 70u));
  EXPECT_EQ(w.To(3, 6, 0, 0, 15), Seconds(5, 55, 55, 75));
  // Clock going back adds nothing; counting goes on from the new reading.
  w.To(3, 5, 23, 0);
  EXPECT_EQ(std::get<3>(w.To(3, 5, 23, 0, 5)), 80u);
  // The week restarts on Monday, not on Sunday.
  Walk week(3, 9, 23, 0);  // a Saturday
  EXPECT_EQ(week.To(3, 9, 23, 30), Seconds(1800, 1800, 1800, 1800));
  EXPECT_EQ(week.To(3, 10, 1, 0), Seconds(0, 1800, 1800, 7200));  // Sunday: new day, same week
  EXPECT_EQ(week.To(3, 10, 23, 59, 59), Seconds(82799, 84599, 84599, 89999));
  EXPECT_EQ(week.r.week, NowSecondsAt(2024, 3, 10, 12, 0) / 604800);
  EXPECT_EQ(week.To(3, 11, 0, 0, 1), Seconds(0, 0, 84599, 90001));
  EXPECT_EQ(week.r.week, NowSecondsAt(2024, 3, 11, 0, 0) / 604800);
  // The month follows the real date: the shifted count would call 29
  // January "1 February" and restart the month three days early.
  Walk month(1, 28, 12, 0);
  month.To(1, 28, 12, 10);
  month.To(1, 29, 12, 0);
  EXPECT_EQ(std::get<2>(month.To(1, 29, 12, 10)), 1200u);
  EXPECT_EQ(std::make_tuple(month.r.month, month.r.day), std::make_tuple(1, 29));
  // 29 February exists in 2024: still February, then March restarts.
  month.To(2, 29, 8, 0);
  EXPECT_EQ(std::get<2>(month.To(2, 29, 8, 1)), 60u);
  EXPECT_EQ(std::make_tuple(month.r.month, month.r.day), std::make_tuple(2, 29));
  EXPECT_EQ(std::get<2>(month.To(3, 1, 0, 0, 30)), 0u);
  EXPECT_EQ(std::make_tuple(month.r.month, month.r.day, month.r.month_cost),
            std::make_tuple(3, 1, 0.0));
  // The same day and month a year later restarts every period.
  month.acc.Start(NowSecondsAt(2025, 3, 1, 0, 0, 30), month.r, {});
  EXPECT_EQ(std::make_tuple(month.r.day_seconds, month.r.week_seconds, month.r.month_seconds),
            std::make_tuple(0u, 0u, 0u));
  EXPECT_GT(month.r.total_seconds, 0u);
}

TEST(AccountingTariffs, RateFollowsTheTableAroundItsEdgesAndIsChosenOnceAMinute) {
  Accountant acc;
  acc.SetTariffs({"00:00 1.8", "02:00 1.3", "10:00 1.8H"}, false);
  const std::tuple<int, int, int, double> rates[] = {
      {0, 30, 0, 1.8 / 60},  {1, 30, 0, 0.03},     {2, 0, 30, 1.8 / 60},  // 02:00 still 24 h back
      {2, 1, 0, 1.3 / 60},   {9, 59, 0, 1.3 / 60}, {10, 0, 0, 1.3 / 60},
      {10, 0, 59, 1.3 / 60}, {10, 1, 0, 0.0005},   {23, 59, 59, 0.0005}};
  auto rate_at = [&](int hour, int minute, int second) {
    acc.SelectTariff(NowSecondsAt(2024, 3, 5, hour, minute, second));
    return acc.Rate();
  };
  for (auto& [hour, minute, second, rate] : rates)
    EXPECT_DOUBLE_EQ(rate_at(hour, minute, second), rate) << hour << ":" << minute << ":" << second;
  // A table that cannot be read keeps the current rate; an empty one is free.
  acc.SetTariffs({"00:00 junk"}, false);
  EXPECT_DOUBLE_EQ(rate_at(12, 0, 0), 0.0005);
  acc.SetTariffs({}, false);
  EXPECT_DOUBLE_EQ(rate_at(12, 0, 0), 0);
  double rate = -1;
  EXPECT_TRUE(ParseTariffRate("  08:00   0.6h  ", &rate));
  EXPECT_DOUBLE_EQ(rate, 0.6 / 3600);
  for (const char* bad : {"10:00", "10:00 abc", "10:00 1.8X", "10:00 -1", "10:00 inf", "10:00 H"})
    EXPECT_FALSE(ParseTariffRate(bad, &rate)) << bad;
  // Cost is charged per second, at the rate chosen at the last whole minute.
  Walk w(3, 5, 9, 59);
  w.acc.SetTariffs({"00:00 1.8", "02:00 1.3", "10:00 1.8H"}, false);
  w.acc.SelectTariff(NowSecondsAt(2024, 3, 5, 9, 59));  // next choice at 10:00:00
  w.To(3, 5, 9, 59, 30);
  EXPECT_NEAR(w.r.total_cost, 30 * 1.3 / 60, 1e-9);
  w.To(3, 5, 10, 0, 1);  // chooses at 10:00:01: 10:00 not yet in force
  EXPECT_NEAR(w.r.total_cost, 61 * 1.3 / 60, 1e-9);
  w.To(3, 5, 10, 1, 1);  // per hour now
  EXPECT_NEAR(w.r.total_cost, 61 * 1.3 / 60 + 60 * 0.0005, 1e-9);
  EXPECT_EQ(std::make_tuple(w.r.day_cost, w.r.week_cost, w.r.month_cost),
            std::make_tuple(w.r.total_cost, w.r.total_cost, w.r.total_cost));
}

// With COSTPERMINUTE the end of a call charges the seconds that complete
// its last started minute.
TEST(AccountingTariffs, ClosingChargeCompletesTheLastStartedMinute) {
  const std::tuple<uint32_t, bool, double> cases[] = {
      {125, true, 180}, {59, true, 59}, {61, true, 120}, {120, true, 120}, {125, false, 125}};
  for (auto& [seconds, per_minute, charged_seconds] : cases) {
    Accountant acc;
    acc.SetTariffs({"00:00 6"}, per_minute);  // 0.1 per second
    StatRecord r;
    r.connection_seconds = 999;  // left from an earlier call
    uint32_t t = NowSecondsAt(2024, 3, 5, 12, 0);
    acc.Start(t, r, {});
    acc.Account(t + 1, r, {});
    acc.End(t + seconds, r, {});
    EXPECT_EQ(r.connection_seconds, seconds);
    EXPECT_NEAR(r.total_cost, charged_seconds * 0.1, 1e-9) << seconds;
  }
}

TEST(AccountingLimits, OrderDayWeekMonthAndStrictlyGreater) {
  const std::tuple<Seconds, TimeLimits, LimitPeriod> cases[] = {
      {{3600, 3600, 3600, 0}, {3600, 3600, 3600}, LimitPeriod::kNone},
      {{3600, 3600, 3601, 0}, {3600, 3600, 3600}, LimitPeriod::kMonth},
      {{3600, 3601, 3601, 0}, {3600, 3600, 3600}, LimitPeriod::kWeek},
      {{3601, 3601, 3601, 0}, {3600, 3600, 3600}, LimitPeriod::kDay},
      {{3601, 3601, 3601, 0}, {0, 0, 3600}, LimitPeriod::kMonth},
      {{3601, 3601, 3601, 0}, {0, 0, 0}, LimitPeriod::kNone}};
  for (auto& [seconds, limits, want] : cases) {
    StatRecord r;
    std::tie(r.day_seconds, r.week_seconds, r.month_seconds, std::ignore) = seconds;
    EXPECT_EQ(CheckLimits(r, limits), want) << r.day_seconds << " " << r.week_seconds;
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

// (Also checked end to end as "<IIIIHHHIdddd": entry_test, session_limit_test.)
TEST(StatRecord, LayoutIsLittleEndianWithoutGapsAndTheReportIsExact) {
  // Seconds of day, week, month, all; day, week, month; call seconds; costs.
  StatRecord r{0x04030201, 0, 0, 0, 0x0a09, 0x0c0b, 0x0e0d, 0x11223344, 1.5, 0, 0, -4.25};
  auto b = r.Encode();
  ASSERT_EQ(b.size(), 58u);
  const std::pair<size_t, uint8_t> bytes[] = {{0, 0x01},  {3, 0x04},  {16, 0x09}, {17, 0x0a},
                                              {18, 0x0b}, {20, 0x0d}, {22, 0x44}, {25, 0x11},
                                              {33, 0x3f}, {57, 0xc0}};  // 1.5 and -4.25 end so
  for (auto& [at, value] : bytes) EXPECT_EQ(b[at], value) << at;
  EXPECT_EQ(StatRecord::Decode(std::string(b.begin(), b.end())).value().Encode(), b);
  EXPECT_FALSE(StatRecord::Decode(std::string(57, '\0')).has_value());
  r = {3600, 3601, 7200, 90000, 0, 0, 0, 59, 2, 0, 0, 1.005};
  EXPECT_EQ(StatisticsReport("Office", r, {3600, 7200, 0}, "DAY TIME LIMIT!!!"),
            "Connection  : Office\r\n\n"
            "Last times  : 00:00:59  All times: 1.01:00:00    Cost all: 1.00\r\n\n"
            "Day times   : 01:00:00      Limit: 01:00:00    Cost day: 2.00\n"
            "Week times  : 01:00:01      Limit: 02:00:00   Cost week: 0.00\n"
            "Month times : 02:00:00      Limit: 00:00:00  Cost month: 0.00\n"
            "\r\n\r\n\n"
            "DAY TIME LIMIT!!!\r\n\r\n\n");
  EXPECT_EQ(StatisticsReport("X", r, {}, "").find("LIMIT!!!"), std::string::npos);
}

// The statistics file of the connection in use is rewritten at every
// disconnect (the limit stop is tested end to end: tests/cases/day_limit).
class AccountingFiles : public ::testing::Test {
 protected:
  AccountingFiles()
      : env_(testing::FakeEnv::ClockMode::kAuto, NowSecondsAt(2024, 3, 5, 12, 0) - kSecondsShift) {}
  StatRecord Saved() { return StatRecord::Decode(env_.FileText("conn.lim").value_or("")).value(); }
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
  EXPECT_EQ(acc_.FileName() + std::to_string(acc_.Record().total_seconds), "Office.lim0");
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
