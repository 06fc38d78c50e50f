// Event rules, macros, flag files, the "Halt service" and EXECUTEAT tasks, on a simulated clock.
#include "dialer/events.h"

#include <gtest/gtest.h>

#include "lib/local_time.h"
#include "lib/test_context.h"
#include "runtime/clock.h"

namespace netrove {
namespace {

using Strings = std::vector<std::string>;
using testing::FakeEnv;

// Local seconds on a day of March 2024 (the 5th is a Tuesday).
int64_t Local(int hour, int minute, int second, int day = 5) {
  return testing_time::NowSecondsAt(2024, 3, day, hour, minute, second) - kSecondsShift;
}

// Files in memory (those under "locked/" cannot be removed) and a clock that moves only when told
// and notes every sleep, so that a test knows when the task it woke sleeps again.
class SteppedEnv final : public FakeEnv {
 public:
  SteppedEnv() : FakeEnv(ClockMode::kManual, Local(10, 14, 59)) {}
  bool Sleep(int64_t ms, std::stop_token stop) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      sleeps_.push_back(ms);
    }
    return FakeEnv::Sleep(ms, stop);
  }
  bool RemoveFile(const std::string& path) override {
    return path.rfind("locked/", 0) != 0 && FakeEnv::RemoveFile(path);
  }
  std::vector<int64_t> Sleeps() {
    std::lock_guard<std::mutex> lock(mu_);
    return sleeps_;
  }
  // Moves the clock `ms` on, ending the one sleep waiting, and waits until its task sleeps again.
  [[nodiscard]] bool Step(int64_t ms) {
    if (!testing::WaitUntil([this] { return Sleepers() == 1; })) return false;
    size_t before = Sleeps().size();
    Advance(ms);
    return testing::WaitUntil([&] { return Sleeps().size() > before && Sleepers() == 1; });
  }

 private:
  std::mutex mu_;
  std::vector<int64_t> sleeps_;  // guarded by mu_
};

// The events of a program, telling the test what they ask of the session and the link check.
class EventsTest : public ::testing::Test, public SessionControl, public MacroTasks {
 protected:
  void Abort() override { ++aborts_; }
  void HangUp() override { ++hangups_; }
  void StartUrlCheck(const std::string& url) override { urls_.push_back(url); }
  void StartGetMail() override { urls_.push_back("<mail>"); }
  void StartAutoUpdate() override { urls_.push_back("<update>"); }
  void Config(const std::function<void(ConfigRecord&)>& change) { c_.config.Update(change); }
  static EventRule Rule(uint16_t number, uint16_t threshold, EventAction action,
                        std::string text = "") {
    return EventRule{number, 0, threshold, action, std::move(text)};
  }

  // Fires `number` `times` times; the firings (from 1) that ran $GETMAIL.
  std::vector<int> Fire(uint16_t number, int times) {
    std::vector<int> ran;
    for (int i = 1; i <= times; ++i) {
      int before = c_.Count("Execute $GETMAIL");
      events_.Fire(number);
      if (c_.Count("Execute $GETMAIL") != before) ran.push_back(i);
    }
    return ran;
  }
  void Rules(const std::vector<EventRule>& rules) {
    Config([&](ConfigRecord& c) { c.events = rules; });
  }

  SteppedEnv env_;
  testing::TestContext c_{&env_};
  std::atomic<int> aborts_{0}, hangups_{0};
  Strings urls_;  // test thread only
  FlagFiles flags_{env_};
  Events events_{env_, c_.tasks, c_.log, c_.config, c_.shared, flags_, *this, *this};
};
using Ints = std::vector<int>;

TEST_F(EventsTest, LastRuleOfANumberCountsAgainAfterAConnectAndExitAndReloadAct) {
  Rules({Rule(91, 1, EventAction::kExec, "$BREAK"), Rule(5, 1, EventAction::kExec, "$BREAK"),
         Rule(91, 2, EventAction::kExec, "$GETMAIL")});
  EXPECT_EQ(Fire(91, 4), (Ints{2, 4}));
  EXPECT_FALSE(events_.Fire(81));  // no rule, no effect
  EXPECT_EQ(c_.shared.control_request, kRequestNone);
  Rules({Rule(80, 3, EventAction::kExec, "$GETMAIL")});
  EXPECT_EQ(Fire(80, 2), Ints{});
  events_.ResetCounts();  // a connection came up
  EXPECT_EQ(Fire(80, 5), Ints{3});
  Config([](ConfigRecord& c) { c.wait_time = 11; });  // "+" key: the same rules count on
  EXPECT_EQ(Fire(80, 1), Ints{1});
  EXPECT_EQ(Fire(80, 2), Ints{});
  Rules({Rule(80, 3, EventAction::kExec, "$GETMAIL"), Rule(7, 1, EventAction::kExit)});
  EXPECT_EQ(Fire(80, 3), Ints{3});  // other rules count from zero
  // EXIT aborts; RELOAD names the connection unless its text is empty.
  c_.shared.connection_arg.Set("First");
  Rules({Rule(91, 2, EventAction::kExit), Rule(0, 1, EventAction::kReload, "Second"),
         Rule(1, 1, EventAction::kReload, "")});
  EXPECT_FALSE(events_.Fire(91));
  EXPECT_EQ(aborts_, 0);
  EXPECT_FALSE(events_.Fire(91));
  EXPECT_EQ(aborts_, 1);
  EXPECT_TRUE(events_.Fire(1));
  EXPECT_EQ(c_.shared.connection_arg.Get(), "First");
  EXPECT_TRUE(events_.Fire(0));
  EXPECT_EQ(c_.shared.connection_arg.Get(), "Second");
}

TEST_F(EventsTest, MacrosActOnTheSessionFlagsAndServices) {
  events_.RunCommand("$break");
  EXPECT_EQ(c_.shared.control_request, kRequestStop);
  EXPECT_FALSE(c_.shared.restart_requested);
  c_.shared.control_request = kRequestNone;
  events_.RunCommand("  $RESTART  ");
  EXPECT_EQ(c_.shared.control_request, kRequestStop);
  EXPECT_TRUE(c_.shared.restart_requested);
  events_.RunCommand("$CreateFlag sleep.flg");
  EXPECT_EQ(env_.FileText("sleep.flg"), "");
  events_.RunCommand("$DELETEFLAG sleep.flg");
  events_.RunCommand("$CREATEFLAG");  // no name: nothing
  EXPECT_TRUE(env_.Paths().empty());
  EXPECT_TRUE(c_.Lines().empty());  // RunCommand itself does not log

  Config([](ConfigRecord& c) { c.check_url = "www.example.org"; });
  events_.RunProgramList({"$GETMAIL", "$update", "$CHECKURL", "$CHECKURL   10.0.0.1/index.html "});
  EXPECT_EQ(c_.Lines(), (Strings{"Execute $GETMAIL", "Execute $update", "Execute $CHECKURL",
                                 "Execute $CHECKURL   10.0.0.1/index.html "}));
  EXPECT_EQ(urls_, (Strings{"<mail>", "<update>", "www.example.org", "10.0.0.1/index.html"}));
}

// (An EXECUTEFLAG that runs its command: tests/cases/flags.)
TEST_F(EventsTest, FlagThatCannotBeRemovedNeverRunsItsCommandAndASleepFlagStays) {
  Config([](ConfigRecord& c) {
    c.sleep_flag = "sleep.flg";
    c.execute_flag_files = {"locked/mail.flg", "mail.flg"};
    c.execute_flag_commands = {"$UPDATE", "$GETMAIL"};
  });
  env_.PutFile("sleep.flg", "");
  env_.PutFile("mail.flg", "");
  env_.PutFile("locked/mail.flg", "");
  events_.CheckFlagFiles();
  events_.CheckFlagFiles();
  EXPECT_EQ(c_.Lines(), (Strings{"Execute $GETMAIL"}));
  EXPECT_EQ(urls_, (Strings{"<mail>"}));
  EXPECT_EQ(hangups_, 2);
  EXPECT_TRUE(FileExists(env_, "sleep.flg"));
}

TEST_F(EventsTest, HaltServiceLooksEveryFiveSecondsAndBreaksOnceAtTheBreakTime) {
  Config([&](ConfigRecord& c) {
    c.break_flag = "break.flg";
    c.break_time = NowSeconds(env_) + 15;
  });
  events_.StartHaltService();
  EXPECT_TRUE(events_.HaltServiceRunning());
  env_.PutFile("break.flg", "");
  // The round: the flag is removed and the session broken (hang-up, stop request, a second, abort).
  ASSERT_TRUE(env_.Step(5000));
  EXPECT_FALSE(FileExists(env_, "break.flg"));
  EXPECT_EQ(hangups_, 1);
  EXPECT_EQ(c_.shared.control_request, kRequestStop);
  EXPECT_EQ(aborts_, 0);
  ASSERT_TRUE(env_.Step(1000));
  EXPECT_EQ(aborts_, 1);
  ASSERT_TRUE(env_.Step(5000));  // 11 s: the break time is not due
  EXPECT_EQ(hangups_, 1);
  ASSERT_TRUE(env_.Step(5000));  // 16 s: it is
  ASSERT_TRUE(env_.Step(1000));
  ASSERT_TRUE(env_.Step(5000));
  EXPECT_EQ(hangups_, 2);  // once
  EXPECT_EQ(aborts_, 2);
  EXPECT_EQ(env_.Sleeps(), (std::vector<int64_t>{5000, 1000, 5000, 5000, 1000, 5000, 5000}));
  events_.StopHaltService();
  EXPECT_FALSE(events_.HaltServiceRunning());
}

TEST_F(EventsTest, ExecuteAtRunsInItsMinuteOnceADay) {
  events_.StartExecuteAt("10:15", "$GETMAIL");
  events_.StartExecuteAt("10:16", "");  // no command: no task
  EXPECT_EQ(events_.ExecuteAtTaskCount(), 1);
  auto runs_after_a_step = [&] { return env_.Step(500) ? c_.Count("Execute $GETMAIL") : -1; };
  EXPECT_EQ(runs_after_a_step(), 0);                         // 10:14:59.5
  EXPECT_EQ(runs_after_a_step(), 1);                         // 10:15:00
  for (int i = 0; i < 80; ++i) ASSERT_TRUE(env_.Step(500));  // the rest of the minute
  EXPECT_EQ(c_.Count("Execute $GETMAIL"), 1);
  env_.SetLocalSeconds(Local(10, 14, 0, 6));
  EXPECT_EQ(runs_after_a_step(), 1);
  env_.SetLocalSeconds(Local(10, 15, 1, 6));
  EXPECT_EQ(runs_after_a_step(), 2);
  events_.StopActingTasks();
  EXPECT_EQ(events_.ExecuteAtTaskCount(), 0);
}

}  // namespace
}  // namespace netrove
