// The statistics file: its 58-byte layout and its load and save rules.
#include "accounting/statistics.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "runtime/files.h"

namespace netrove {
namespace {

class StatisticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("netrove_stat_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_, old_;
};

TEST_F(StatisticsTest, LayoutIsLittleEndianWithoutGaps) {
  StatRecord r;
  r.day_seconds = 0x04030201;
  r.week_seconds = 5;
  r.month_seconds = 6;
  r.total_seconds = 7;
  r.day = 0x0a09;
  r.week = 2900;
  r.month = 12;
  r.connection_seconds = 0x11223344;
  r.day_cost = 1.5;
  r.week_cost = 2.5;
  r.month_cost = 3.5;
  r.total_cost = -4.25;
  auto b = r.Encode();
  ASSERT_EQ(b.size(), 58u);
  EXPECT_EQ(b[0], 0x01);
  EXPECT_EQ(b[3], 0x04);
  EXPECT_EQ(b[4], 5);
  EXPECT_EQ(b[12], 7);
  EXPECT_EQ(b[16], 0x09);
  EXPECT_EQ(b[17], 0x0a);
  EXPECT_EQ(b[18] | (b[19] << 8), 2900);
  EXPECT_EQ(b[20], 12);
  EXPECT_EQ(b[22], 0x44);
  EXPECT_EQ(b[25], 0x11);
  double d;
  std::memcpy(&d, &b[26], 8);
  EXPECT_EQ(d, 1.5);
  std::memcpy(&d, &b[50], 8);
  EXPECT_EQ(d, -4.25);

  auto back = StatRecord::Decode(std::string(b.begin(), b.end()));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->Encode(), b);
  EXPECT_FALSE(StatRecord::Decode(std::string(57, '\0')).has_value());
}

TEST_F(StatisticsTest, SaveAndLoadRoundTripThroughTheFile) {
  LoadStatistics("Office");  // no file yet: zeros, but the file is in use
  EXPECT_EQ(GetStatistics().total_seconds, 0u);
  EXPECT_EQ(StatisticsFileName(), "Office.lim");
  StatRecord r;
  r.total_seconds = 4242;
  r.total_cost = 12.75;
  SetStatistics(r);
  SaveStatistics();
  auto data = ReadWholeFile("Office.lim");
  ASSERT_TRUE(data.has_value());
  EXPECT_EQ(data->size(), 58u);

  SetStatistics(StatRecord{});
  LoadStatistics("Office");
  EXPECT_EQ(GetStatistics().total_seconds, 4242u);
  EXPECT_EQ(GetStatistics().total_cost, 12.75);
}

TEST_F(StatisticsTest, ShortFileGivesZerosAndEmptyNameUsesNoFile) {
  ASSERT_TRUE(WriteFileAtomically("Short.lim", std::string(20, '\x7f')));
  StatRecord r;
  r.total_seconds = 99;
  SetStatistics(r);
  LoadStatistics("Short");
  EXPECT_EQ(GetStatistics().total_seconds, 0u);

  LoadStatistics("");
  EXPECT_EQ(StatisticsFileName(), "");
  SaveStatistics();
  EXPECT_FALSE(FileExists(".lim"));
}

TEST_F(StatisticsTest, ReportLinesAreExact) {
  StatRecord r;
  r.connection_seconds = 59;
  r.total_seconds = 90000;
  r.total_cost = 1.005;
  r.day_seconds = 3600;
  r.day_cost = 2;
  r.week_seconds = 3601;
  r.month_seconds = 7200;
  TimeLimits limits{3600, 7200, 0};
  std::string report = StatisticsReport("Office", r, limits, "DAY TIME LIMIT!!!");
  EXPECT_EQ(report,
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
