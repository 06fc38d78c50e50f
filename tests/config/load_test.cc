// LoadConfiguration on real files in a scratch program directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "accounting/clock.h"
#include "accounting/statistics.h"
#include "config/config.h"
#include "runtime/console.h"
#include "runtime/local_clock.h"
#include "runtime/log.h"
#include "runtime/shared_state.h"

namespace netrove {
namespace {

namespace fs = std::filesystem;

class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/netrove_config_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("NETROVE_HOME", dir_.c_str(), 1);
    SetConsolePresentForTesting(false);
    SetLogProc([this](const std::string& m) {
      log_.push_back(m);
      return m;
    });
    SetConfigHooks({});
  }
  void TearDown() override {
    SetLogProc(nullptr);
    SetLogFileName("");
    SetConfigHooks({});
    SetLocalClockForTesting(nullptr);
    if (chdir("/") != 0) ADD_FAILURE();
    fs::remove_all(dir_);
  }
  void WriteConfig(const std::string& text) {
    std::ofstream(dir_ + "/netrove.dat", std::ios::binary) << text;
  }
  std::string dir_;
  std::vector<std::string> log_;
};

// Creating a missing netrove.dat, reading back a password that ADD wrote and
// the fatal file errors are tested end to end: tests/foundation/entry_test.py
// and add_test.py.
TEST_F(LoadTest, PublishesRecordAndSettings) {
  SetLocalClockForTesting([] { return int64_t{1'700'000'000}; });
  WriteConfig(
      "LogFile netrove.log\r\nConnectFlag c.flg\r\nwhat 1\r\n[Provider]\r\nDayTimeLimit 60\r\n"
      "WeekTimeLimit 30\r\nBreak 120\r\nBreak 30\r\nCost 00:00 1.8\r\nCostPerMinute Yes\r\n");
  std::vector<std::string> cost;
  bool per_minute = false;
  int stops = 0;
  ConfigHooks hooks;
  hooks.tariffs = [&](const std::vector<std::string>& c, bool p) {
    cost = c;
    per_minute = p;
  };
  hooks.stop_acting_tasks = [&] { ++stops; };
  SetConfigHooks(hooks);
  Shared().link_mode = kLinkOnline;
  Shared().control_request = kRequestStop;
  auto before = CurrentConfig();

  LoadConfiguration("provider");
  auto c = CurrentConfig();
  EXPECT_NE(c, before);  // a new record, published whole
  EXPECT_EQ(fs::current_path(), fs::path(dir_));
  EXPECT_EQ(c->break_time, NowSeconds() + 1800);
  EXPECT_EQ(LogFileName(), "netrove.log");
  EXPECT_EQ(GetTimeLimits().day, 3600);
  EXPECT_EQ(GetTimeLimits().week, 3600);
  EXPECT_EQ(StatisticsFileName(), "provider.lim");
  EXPECT_EQ(cost, (std::vector<std::string>{"00:00 1.8"}));
  EXPECT_TRUE(per_minute);
  EXPECT_EQ(stops, 1);
  ASSERT_EQ(ConfigWarnings().size(), 1u);
  EXPECT_EQ(ConfigWarnings()[0].rfind("Warning: Unknown command WHAT. (netrove.dat, line ", 0), 0u);
  EXPECT_EQ(Shared().link_mode, kLinkIdle);
  EXPECT_EQ(Shared().control_request, kRequestNone);
  EXPECT_EQ(Shared().status_text.Get(), "00:00:00");
  EXPECT_TRUE(log_.empty());  // the section was found: nothing to say

  // A reload keeps CONNECTFLAG when the file no longer sets it.
  WriteConfig("[Provider]\n");
  LoadConfiguration("provider");
  EXPECT_EQ(CurrentConfig()->connect_flag, "c.flg");
  EXPECT_TRUE(ConfigWarnings().empty());
  EXPECT_EQ(stops, 2);
}

TEST_F(LoadTest, ActingLinesRunOnceInFileOrder) {
  WriteConfig(
      "ExecuteStart global.exe\n[Provider]\nDefLoad No\nExecuteStart one.exe\n"
      "ExecuteAt 12:00 icq.exe\nExecuteStart two.exe\n");
  std::vector<std::string> calls;
  ConfigHooks hooks;
  hooks.execute_start = [&](const std::string& c) { calls.push_back("start " + c); };
  hooks.execute_at = [&](const std::string& t, const std::string& c) {
    calls.push_back("at " + t + " " + c);
  };
  SetConfigHooks(hooks);
  LoadConfiguration("Provider");
  EXPECT_EQ(calls,
            (std::vector<std::string>{"start one.exe", "at 12:00 icq.exe", "start two.exe"}));
  // Collect mode runs nothing.
  calls.clear();
  LoadConfiguration("Provider", true);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(CurrentConfig()->collected_execute_start,
            (std::vector<std::string>{"one.exe", "two.exe"}));
  // Without hooks the commands are only logged.
  SetConfigHooks({});
  log_.clear();
  LoadConfiguration("Provider");
  EXPECT_EQ(log_,
            (std::vector<std::string>{"Execute one.exe", "Execute icq.exe", "Execute two.exe"}));
}

}  // namespace
}  // namespace netrove
