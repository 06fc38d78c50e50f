// The session controller against the scripted remote-access layer: dial,
// redial, wait and sleep countdowns, on-line loop, proxy mode.
#include "driver/session.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "dialer/dial_fixture.h"

namespace netrove {
namespace {

using Fake = FakeRemoteAccess;
using Strings = std::vector<std::string>;

class SessionTest : public DialFixture {
 protected:
  void SetUp() override {
    DialFixture::SetUp();
    hooks_.create_flag_file = [this](const std::string& n) {
      Record(flags_, "+" + n);
      files_.insert(n);
    };
    hooks_.delete_flag_file = [this](const std::string& n) {
      Record(flags_, "-" + n);
      files_.erase(n);
    };
    hooks_.flag_file_exists = [this](const std::string& n) { return files_.count(n) > 0; };
    ApplyHooks();
    UpdateConfig([](ConfigRecord& c) {
      c.wait_time = 2;
      c.dial_time = 20;
    });
    dialer_->PrepareForSession();
    controller_ = std::make_unique<SessionController>(*dialer_);
  }
  void TearDown() override {
    on_status_ = nullptr;
    DialFixture::TearDown();
  }
  // Runs actions[n] when the n-th on-line status line is shown.
  void AtOnlineLines(std::map<int, std::function<void()>> actions) {
    on_status_ = [this, actions = std::move(actions), n = 0]() mutable {
      if (status_.back().rfind("ESC cancel, Space redial", 0) != 0) return;
      if (auto it = actions.find(++n); it != actions.end()) it->second();
    };
  }
  void PressAtOnce(int key) { fake_->AddKey(fake_->now_ms(), key); }
  bool Shown(const Strings& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  std::unique_ptr<SessionController> controller_;
  std::set<std::string> files_;
};

TEST_F(SessionTest, MaxRetryAbortsAfterTheThirdFailure) {
  UpdateConfig([](ConfigRecord& c) { c.max_retry = 3; });
  fake_->Script({Fake::Fail(kErrorLineBusy)});
  EXPECT_EQ(controller_->RunDialSession(false), SessionOutcome::kStop);
  EXPECT_EQ(fake_->Dials().size(), 3u);
  EXPECT_EQ(CountLogged("Error 76: text of 676"), 3);
  EXPECT_EQ(Log().back(), "Aborted!");
  EXPECT_EQ(Shared().control_request, kRequestStop);
}

TEST_F(SessionTest, DroppedLinkCountsAndAConnectResetsTheCount) {
  UpdateConfig([](ConfigRecord& c) { c.max_retry = 3; });
  fake_->Script({Fake::Fail(kErrorLineBusy), Fake::Fail(kErrorNoAnswer), Fake::Connect(1000, 3000),
                 Fake::Fail(kErrorLineBusy), Fake::Fail(kErrorLineBusy), Fake::Connect()});
  EXPECT_EQ(controller_->RunDialSession(false), SessionOutcome::kStop);
  // busy, no answer, connect (count back to 0), drop (1), busy (2), busy (3).
  EXPECT_EQ(fake_->Dials().size(), 5u);
  EXPECT_TRUE(Logged("Disconnected"));
  EXPECT_EQ(Log().back(), "Aborted!");
}

TEST_F(SessionTest, RedialOffEndsAfterTheFirstCall) {
  UpdateConfig([](ConfigRecord& c) {
    c.redial = false;
    c.connect_flag = "connect.flg";
    c.execute = {"a.wav"};
    c.execute_end = {"b.exe"};
  });
  Strings lists;
  hooks_.run_program_list = [&](const Strings& l) { lists.push_back(l[0]); };
  ApplyHooks();
  fake_->Script({Fake::Connect(1000, 4000)});
  EXPECT_EQ(controller_->RunDialSession(false), SessionOutcome::kStop);
  EXPECT_EQ(fake_->Dials().size(), 1u);
  EXPECT_TRUE(hidden_);
  EXPECT_TRUE(Logged("Start execute program list"));
  EXPECT_TRUE(Logged("Start execute program list for break connection"));
  EXPECT_EQ(lists, (Strings{"a.wav", "b.exe"}));
  EXPECT_TRUE(Logged("Redial not need, exiting."));
  // The line held 4 seconds; the last status shown before the drop was 3.
  EXPECT_TRUE(Logged("Timed 00:00:03 (CPS: 0)"));
  EXPECT_EQ(Shared().control_request, kRequestStop);
  EXPECT_TRUE(files_.empty() && Shown(flags_, "+connect.flg"));  // made, then removed
  EXPECT_EQ(titles_.back(), "Disconnected");
}

TEST_F(SessionTest, PlusKeyLengthensThisAndLaterWaits) {
  UpdateConfig([](ConfigRecord& c) { c.wait_time = 5; });
  for (int i = 0; i < 3; ++i) fake_->AddKey(0, '+');
  controller_->SleepWaitCountdown(false);
  EXPECT_EQ(fake_->now_ms(), 8000);
  EXPECT_EQ(CurrentConfig()->wait_time, 8);
  EXPECT_EQ(Shared().link_mode, kLinkWaiting);
  size_t first = status_.size();
  controller_->SleepWaitCountdown(false);
  EXPECT_EQ(fake_->now_ms(), 16000);
  EXPECT_EQ(status_[first], "ESC cancel, Space try, S sleep - Waiting...(8)");
  controller_->SleepWaitCountdown(true);  // nothing to sleep for: "dial next" returns at once
  EXPECT_EQ(fake_->now_ms(), 16000);
}

TEST_F(SessionTest, SleepKeyAndSleepFlag) {
  UpdateConfig([](ConfigRecord& c) { c.wait_time = 3; });
  fake_->AddKey(500, 'S');
  controller_->SleepWaitCountdown(false);  // no SLEEPFLAG: S does nothing
  EXPECT_EQ(fake_->now_ms(), 3000);
  EXPECT_TRUE(flags_.empty());
  UpdateConfig([](ConfigRecord& c) {
    c.sleep_flag = "sleep.flg";
    c.sleep_time = 60;
  });
  fake_->AddKey(3500, 'S');   // Wait -> Sleep (creates the flag)
  fake_->AddKey(10000, 's');  // Sleep -> ends (deletes the flag)
  controller_->SleepWaitCountdown(false);
  EXPECT_EQ(flags_, (Strings{"+sleep.flg", "-sleep.flg"}));
  EXPECT_GE(fake_->now_ms(), 10000);
  EXPECT_LT(fake_->now_ms(), 11000);
  EXPECT_TRUE(Shown(titles_, "Sleeping"));
  // Start asleep: the flag is made first and ESC in the sleep stops.
  fake_->AddKey(fake_->now_ms() + 2000, 27);
  EXPECT_EQ(controller_->RunDialSession(true), SessionOutcome::kStop);
  EXPECT_TRUE(fake_->Dials().empty());
  EXPECT_TRUE(files_.empty());  // ESC while sleeping deletes the flag
  EXPECT_TRUE(Logged("Aborted!"));
}

TEST_F(SessionTest, RequestsDuringTheWait) {
  UpdateConfig([](ConfigRecord& c) { c.wait_time = 30; });
  size_t first = status_.size();
  on_status_ = [&] {
    if (status_.size() == first + 2) Shared().control_request = kRequestRedial;
  };
  controller_->SleepWaitCountdown(false);
  EXPECT_LT(fake_->now_ms(), 3000);
  on_status_ = [&] { Shared().control_request = kRequestStop; };
  controller_->SleepWaitCountdown(false);
  EXPECT_TRUE(Logged("Aborted!"));
}

// The break time reached while the controller waits to redial: the break
// step and the controller both end the session, "Aborted!" is logged once.
TEST_F(SessionTest, BreakDuringTheWaitAbortsOnce) {
  fake_->Script({Fake::Fail(kErrorLineBusy)});
  bool broken = false;
  on_status_ = [&] {
    if (!broken && status_.back().find("Waiting") != std::string::npos) {
      broken = true;
      dialer_->BreakStep();
    }
  };
  EXPECT_EQ(controller_->RunDialSession(false), SessionOutcome::kStop);
  EXPECT_TRUE(broken);
  EXPECT_EQ(CountLogged("Aborted!"), 1);
  dialer_->PrepareForSession();  // a new session may abort again
  dialer_->AbortProgram();
  EXPECT_EQ(CountLogged("Aborted!"), 2);
}

TEST_F(SessionTest, OnlineClockJumpCountsOneSecond) {
  fake_->Script({Fake::Connect()});
  AtOnlineLines({{4, [&] { clock_offset_ += 3600; }},  // the clock is set an hour ahead
                 {8, [&] { PressAtOnce(27); }}});
  EXPECT_EQ(controller_->RunDialSession(false), SessionOutcome::kStop);
  // Eight on-line passes: the first reads the start second, each later one
  // counts one second, the jump included.
  EXPECT_EQ(controller_->online_seconds(), 7u);
  EXPECT_TRUE(
      Shown(status_, "ESC cancel, Space redial, S sleep, T test - On-Line 00:00:02 (CPS: 0)"));
  EXPECT_TRUE(Shown(titles_, "On-Line 00:00:02 (Demo)"));
}

// While on-line the statistics are saved every minute, so that a kill or a
// power cut costs at most a minute of the call (the end of a call saves too).
TEST_F(SessionTest, StatisticsAreSavedEveryMinuteOnline) {
  std::vector<int64_t> saves;
  hooks_.save_statistics = [&] { saves.push_back(fake_->now_ms() / 1000); };
  ApplyHooks();
  fake_->Script({Fake::Connect(0, 150000)});
  UpdateConfig([](ConfigRecord& c) { c.redial = false; });
  EXPECT_EQ(controller_->RunDialSession(false), SessionOutcome::kStop);
  ASSERT_EQ(saves.size(), 3u);  // after one and two minutes on-line, and at the end
  EXPECT_EQ(saves[1] - saves[0], 60);
}

TEST_F(SessionTest, SpaceRedialsOnTheNextNumber) {
  UpdateConfig([](ConfigRecord& c) { c.add_phone = {"", "111"}; });
  fake_->Script({Fake::Connect()});
  AtOnlineLines({{2, [&] { PressAtOnce(' '); }}, {5, [&] { PressAtOnce(27); }}});
  EXPECT_EQ(controller_->RunDialSession(false), SessionOutcome::kStop);
  EXPECT_EQ(fake_->DialledNumbers(), (Strings{"555", "111"}));
  EXPECT_EQ(CountLogged("Disconnected"), 2);
}

TEST_F(SessionTest, LinkTestsAndEventReload) {
  int tests = 0;
  hooks_.link_test = [&] { return ++tests > 1; };
  ApplyHooks();
  fake_->Script({Fake::Connect()});
  AtOnlineLines({{2, [&] { PressAtOnce('t'); }},                             // fails: redial
                 {4, [&] { Shared().control_request = kRequestTestLink; }},  // passes
                 {6, [&] { PressAtOnce(27); }}});
  EXPECT_EQ(controller_->RunDialSession(false), SessionOutcome::kStop);
  EXPECT_EQ(fake_->Dials().size(), 2u);
  EXPECT_EQ(CountLogged("Error: Bad connection."), 1);
  // A failed first test after connecting; a reload rule for "no dial tone".
  int first_tests = 0;
  hooks_.first_link_test = [&] { return ++first_tests > 1; };
  std::vector<int> fired;
  hooks_.fire_event = [&](int n) {
    fired.push_back(n);
    return n == 80;
  };
  ApplyHooks();
  on_status_ = nullptr;
  fake_->Script({Fake::Connect(), Fake::Fail(kErrorNoDialTone)});
  Shared().control_request = kRequestNone;
  EXPECT_EQ(controller_->RunDialSession(false), SessionOutcome::kReload);
  EXPECT_EQ(CountLogged("Error: Bad connection."), 2);
  EXPECT_TRUE(Logged("Error 80: text of 680"));
  EXPECT_EQ(fired, (std::vector<int>{0, 80}));
}

TEST_F(SessionTest, ProxyModeUntilEsc) {
  fake_->AddKey(3000, 27);
  EXPECT_EQ(controller_->RunProxyMode(), SessionOutcome::kStop);
  EXPECT_TRUE(Logged("PROXY READY"));
  // Three passes: 0, 1 and 2 seconds shown; ESC is read after the third.
  EXPECT_TRUE(Logged("Timed 00:00:02 (CPS: 0)"));
  EXPECT_TRUE(Logged("Aborted!"));
  EXPECT_EQ(titles_.front(), "Proxy mode");
  EXPECT_EQ(status_.front(), "              Time: 00:00:00 (CPS: 0)");
  EXPECT_EQ(Shared().link_mode, kLinkOnline);
  EXPECT_TRUE(fake_->Dials().empty());
}

}  // namespace
}  // namespace netrove
