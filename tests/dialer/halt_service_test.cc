#include "dialer/halt_service.h"

#include <chrono>
#include <fstream>

#include "accounting/clock.h"
#include "dialer/events_fixture.h"

namespace netrove {
namespace {

class HaltService : public EventsFixture {
 protected:
  void Touch(const std::string& name) { std::ofstream(Path(name)).flush(); }
};

TEST_F(HaltService, BreakFlagIsRemovedAndStopsTheSession) {
  UpdateConfig([&](ConfigRecord& c) { c.break_flag = Path("break.flg"); });
  std::atomic<int> hang_ups{0}, aborts{0};
  SetHangUp([&] { ++hang_ups; });
  SetAbortProgram([&] { ++aborts; });
  CheckFlagFiles();
  EXPECT_EQ(Shared().control_request, kRequestNone);
  Touch("break.flg");
  CheckFlagFiles();
  EXPECT_FALSE(Exists("break.flg"));
  EXPECT_EQ(Shared().control_request, kRequestStop);
  EXPECT_EQ(hang_ups, 1);
  EXPECT_EQ(aborts, 1);
}

TEST_F(HaltService, SleepFlagHangsUpAnOnlineLinkAndStays) {
  UpdateConfig([&](ConfigRecord& c) { c.sleep_flag = Path("sleep.flg"); });
  Touch("sleep.flg");
  Shared().link_mode = kLinkWaiting;  // asleep or waiting: nothing to hang up
  CheckFlagFiles();
  EXPECT_EQ(Shared().control_request, kRequestNone);
  Shared().link_mode = kLinkOnline;
  CheckFlagFiles();
  EXPECT_EQ(Shared().control_request, kRequestSleep);
  EXPECT_TRUE(Exists("sleep.flg"));
  Shared().control_request = kRequestStop;  // a pending stop is not overwritten
  CheckFlagFiles();
  EXPECT_EQ(Shared().control_request, kRequestStop);
}

TEST_F(HaltService, ExecuteFlagRunsItsCommandOncePerAppearance) {
  UpdateConfig([&](ConfigRecord& c) {
    c.execute_flag_files = {Path("mail.flg"), Path("other.flg")};
    c.execute_flag_commands = {"$GETMAIL", "$CREATEFLAG " + Path("other ran")};
  });
  std::atomic<int> mail{0};
  SetGetMailService([&] { ++mail; });
  Touch("mail.flg");
  CheckFlagFiles();
  CheckFlagFiles();
  EXPECT_EQ(mail, 1);
  EXPECT_FALSE(Exists("mail.flg"));
  EXPECT_FALSE(Exists("other ran"));
  Touch("mail.flg");
  Touch("other.flg");
  CheckFlagFiles();
  EXPECT_EQ(mail, 2);
  EXPECT_TRUE(Exists("other ran"));
  EXPECT_EQ(Logged(), (std::vector<std::string>{"Execute $GETMAIL", "Execute $GETMAIL",
                                                "Execute $CREATEFLAG " + Path("other ran")}));

  // A flag that cannot be removed does not run its command every round.
  std::filesystem::create_directories(dir_ / "locked");
  UpdateConfig([&](ConfigRecord& c) {
    c.execute_flag_files = {Path("locked/mail.flg")};
    c.execute_flag_commands = {"$GETMAIL"};
  });
  Touch("locked/mail.flg");
  std::filesystem::permissions(
      dir_ / "locked", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  if (access(Path("locked").c_str(), W_OK) != 0) {  // not when running as root
    CheckFlagFiles();
    EXPECT_EQ(mail, 2);
  }
  std::filesystem::permissions(dir_ / "locked", std::filesystem::perms::owner_all);
}

TEST_F(HaltService, TaskActsOnTheBreakTimeAndSeesAFlagWithinAPeriod) {
  std::atomic<int64_t> clock{1709633700};
  SetLocalClockForTesting([&] { return clock.load(); });
  UpdateConfig([&](ConfigRecord& c) {
    c.break_time = NowSeconds() + 60;
    c.break_flag = Path("break.flg");
  });
  std::atomic<int> aborts{0};
  SetAbortProgram([&] { ++aborts; });
  StartHaltService();
  EXPECT_TRUE(HaltServiceRunning());
  usleep(300 * 1000);
  EXPECT_EQ(aborts, 0) << "the break time is not due";
  // The next round, one period on, sees both.
  clock += 60;
  Touch("break.flg");
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitFor([&] { return aborts == 2; }, kHaltServicePeriodMs + 4000));
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(kHaltServicePeriodMs + 3000));
  EXPECT_FALSE(Exists("break.flg"));
  EXPECT_EQ(Shared().control_request, kRequestStop);
  auto stop_start = std::chrono::steady_clock::now();
  StopHaltService();
  EXPECT_FALSE(HaltServiceRunning());
  EXPECT_LT(std::chrono::steady_clock::now() - stop_start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace netrove
