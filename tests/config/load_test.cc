// LoadConfiguration on real files in a scratch program directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "accounting/clock.h"
#include "accounting/statistics.h"
#include "config/config.h"
#include "config/defaults.h"
#include "config/scrambler.h"
#include "runtime/console.h"
#include "runtime/files.h"
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

TEST_F(LoadTest, MissingFileIsCreatedWithDefaults) {
  LoadConfiguration("Provider");
  std::string path = dir_ + "/netrove.dat";
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadWholeFile(path), DefaultFileText(false));
  auto c = CurrentConfig();
  EXPECT_EQ(c->wait_time, 5);
  EXPECT_EQ(c->break_flag, "break.flg");
  ASSERT_EQ(c->events.size(), 1u);
  EXPECT_EQ(c->events[0].number, 91);
  EXPECT_EQ(fs::current_path(), fs::path(dir_));
  // An existing file is never rewritten.
  WriteConfig("WaitTime 8\n");
  EXPECT_TRUE(CreateDefaultConfigFile(false));
  EXPECT_EQ(ReadWholeFile(path), "WaitTime 8\n");
}

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
  EXPECT_EQ(c->break_time, NowSeconds() + 1800);
  EXPECT_EQ(LogFileName(), "netrove.log");
  EXPECT_EQ(GetTimeLimits().day, 3600);
  EXPECT_EQ(GetTimeLimits().week, 3600);
  EXPECT_EQ(StatisticsFileName(), "provider.lim");
  EXPECT_EQ(cost, (std::vector<std::string>{"00:00 1.8"}));
  EXPECT_TRUE(per_minute);
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(ConfigWarnings(), (std::vector<std::string>{"Warning: Unknown command WHAT."}));
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

TEST_F(LoadTest, ScrambledPasswordReadBack) {
  std::string value = ScramblePassword("Provider", "joe", "pa ss\x01\xff");
  WriteConfig("[Provider]\nUser joe\nPassword " + value + "\n");
  LoadConfiguration("Provider");
  EXPECT_EQ(CurrentConfig()->password, "pa ss\x01\xff");
  EXPECT_EQ(value.rfind('$', 0), 0u);
}

// FatalError writes on standard output; the death tests look at stderr.
void OnStderr() { dup2(2, 1); }

TEST_F(LoadTest, FatalErrors) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  WriteConfig("[Provider]\n");
  EXPECT_EXIT(
      {
        OnStderr();
        SetConsolePresentForTesting(true);
        LoadConfiguration("Nowhere");
      },
      ::testing::ExitedWithCode(99), "Error: Connection not found\\.");
  // A file that exists but cannot be read is never replaced.
  fs::remove(dir_ + "/netrove.dat");
  fs::create_directory(dir_ + "/netrove.dat");
  EXPECT_EXIT(
      {
        OnStderr();
        LoadConfiguration("Provider");
      },
      ::testing::ExitedWithCode(99), "Error: Can't read Netrove.dat file\\.");
  setenv("NETROVE_HOME", (dir_ + "/missing/dir").c_str(), 1);
  EXPECT_EXIT(
      {
        OnStderr();
        LoadConfiguration("Provider");
      },
      ::testing::ExitedWithCode(99), "Error: Can't create Netrove.dat file\\.");
}

}  // namespace
}  // namespace netrove
