// The statistics file's 58-byte layout and the report.
#include "accounting/statistics.h"

#include <gtest/gtest.h>

namespace netrove {
namespace {

// The fields the program reads and writes are also checked end to end against
// a struct "<IIIIHHHIdddd" (entry_test.py, tests/session/session_limit_test.py).
TEST(StatRecord, LayoutIsLittleEndianWithoutGaps) {
  StatRecord r{};
  r.day_seconds = 0x04030201;
  r.day = 0x0a09;
  r.week = 0x0c0b;
  r.month = 0x0e0d;
  r.connection_seconds = 0x11223344;
  r.day_cost = 1.5;
  r.total_cost = -4.25;
  auto b = r.Encode();
  ASSERT_EQ(b.size(), 58u);
  const std::pair<size_t, uint8_t> bytes[] = {{0, 0x01},  {3, 0x04},  {16, 0x09}, {17, 0x0a},
                                              {18, 0x0b}, {20, 0x0d}, {22, 0x44}, {25, 0x11},
                                              {33, 0x3f}, {57, 0xc0}};  // 1.5 and -4.25 end so
  for (auto& [at, value] : bytes) EXPECT_EQ(b[at], value) << at;
  auto back = StatRecord::Decode(std::string(b.begin(), b.end()));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->Encode(), b);
  EXPECT_FALSE(StatRecord::Decode(std::string(57, '\0')).has_value());
}

TEST(StatRecord, ReportLinesAreExact) {
  StatRecord r;
  r.connection_seconds = 59;
  r.total_seconds = 90000;
  r.total_cost = 1.005;
  r.day_seconds = 3600;
  r.day_cost = 2;
  r.week_seconds = 3601;
  r.month_seconds = 7200;
  TimeLimits limits{3600, 7200, 0};
  EXPECT_EQ(StatisticsReport("Office", r, limits, "DAY TIME LIMIT!!!"),
            "Connection  : Office\r\n\n"
            "Last times  : 00:00:59  All times: 1.01:00:00    Cost all: 1.00\r\n\n"
            "Day times   : 01:00:00      Limit: 01:00:00    Cost day: 2.00\n"
            "Week times  : 01:00:01      Limit: 02:00:00   Cost week: 0.00\n"
            "Month times : 02:00:00      Limit: 00:00:00  Cost month: 0.00\n"
            "\r\n\r\n\n"
            "DAY TIME LIMIT!!!\r\n\r\n\n");
  EXPECT_EQ(StatisticsReport("X", r, limits, "").find("LIMIT!!!"), std::string::npos);
}

}  // namespace
}  // namespace netrove
