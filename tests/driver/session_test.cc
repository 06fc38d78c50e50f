// The session controller on the scripted line: dial, redial, wait and sleep countdowns, on-line
// loop, proxy mode; the session's abort; the ADD form's update of netrove.dat.
#include "driver/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "dialer/dial_fixture.h"
#include "driver/forms.h"
#include "driver/program_context.h"

namespace netrove {
namespace {

// The parts of a session the controller reports to, scripted.
struct FakeParts final : CallAccounting,
                         LinkChecks,
                         EventRules,
                         LinkTraffic,
                         MacroTasks,
                         ModemStatisticsSource,
                         UpdateStarter {
  explicit FakeParts(FakeLine& line) : line(line) {}
  void StartCall(uint32_t) override {}
  void Tick(uint32_t) override {}
  void EndCall() override {}
  void SelectTariff() override {}
  void Save() override { saves.push_back(line.now_ms() / 1000); }
  bool FirstTest() override { return true; }
  bool Test() override { return tests_failing-- <= 0; }
  void StartWatch() override {}
  void StopWatch() override {}
  bool Fire(int) override { return false; }
  void ResetCounts() override {}
  void RunProgramList(const Strings& list) override {
    lists.insert(lists.end(), list.begin(), list.end());
  }
  uint32_t AverageReceiveRate() override { return 0; }
  void ZeroTrafficCounters() override {}
  void EmptyFailedConnectCache() override {}
  std::string LocalInterfaceDescription() override { return ""; }
  void StartUrlCheck(const std::string&) override {}
  void StartGetMail() override {}
  std::string ReadModemStatistics() override {
    ++modem_reads;
    return modem_answer;
  }
  void StartAutoUpdate() override { update_ticks.push_back(line.now_ms() / 1000); }

  FakeLine& line;
  std::string modem_answer;
  int modem_reads = 0;
  std::vector<int64_t> update_ticks;  // seconds of the line's clock
  int tests_failing = 0;
  std::vector<int64_t> saves;  // seconds of the line's clock
  Strings lists;
};

class SessionTest : public DialFixture {
 protected:
  // Runs actions[n] when the n-th on-line status line is shown.
  void AtOnlineLines(std::map<int, std::function<void()>> actions) {
    line_.on_status = [this, actions = std::move(actions), n = 0]() mutable {
      if (line_.status.back().rfind("ESC cancel, Space redial", 0) != 0) return;
      if (auto it = actions.find(++n); it != actions.end()) it->second();
    };
  }

  Network network_{env_, ctx_.tasks, ctx_.log, ctx_.config, ctx_.shared};
  Services services_{network_, ctx_.log, ctx_.console, ctx_.config};
  Session session_{line_, dialer_, ctx_.shared, services_};
  FakeParts parts_{line_};
  SessionController controller_{SessionParts{line_, dialer_, ctx_.config, ctx_.shared, flags_,
                                             parts_, parts_, parts_, parts_, session_, parts_,
                                             parts_}};
};

TEST_F(SessionTest, MaxRetryCountsFailuresAndDropsAndAConnectStartsAgain) {
  Config([](ConfigRecord& c) { c.max_retry = 3; });
  line_.Script({Line::Fail(kErrorLineBusy), Line::Fail(kErrorNoAnswer), Line::Connect(1000, 3000),
                Line::Fail(kErrorLineBusy), Line::Fail(kErrorLineBusy), Line::Connect()});
  EXPECT_EQ(controller_.RunDialSession(false), SessionOutcome::kStop);
  // busy, no answer, connect (count back to 0), drop (1), busy (2), busy (3).
  EXPECT_EQ(line_.DialledNumbers().size(), 5u);
  EXPECT_EQ(ctx_.Count("Error 76: text of 676"), 3);
  EXPECT_TRUE(ctx_.Has("Disconnected"));
  EXPECT_EQ(ctx_.Lines().back(), "Aborted!");
  EXPECT_EQ(Request(), kRequestStop);
}

TEST_F(SessionTest, ActiveConnectionEndsTheSessionBeforeDialing) {
  line_.AddForeign(0x80000001u, "demo");
  EXPECT_EQ(controller_.RunDialSession(false), SessionOutcome::kStop);
  EXPECT_TRUE(line_.DialledNumbers().empty());
  EXPECT_EQ(ctx_.Lines(), (Strings{"Found active connection as demo.", "Aborted!"}));
  EXPECT_EQ(Request(), kRequestStop);
}

TEST_F(SessionTest, RedialOffEndsAfterTheFirstCall) {
  Config([](ConfigRecord& c) {
    c.redial = false;
    c.execute = {"a.wav"};
    c.execute_end = {"b.exe"};
  });
  line_.Script({Line::Connect(1000, 4000)});
  EXPECT_EQ(controller_.RunDialSession(false), SessionOutcome::kStop);
  EXPECT_EQ(line_.DialledNumbers().size(), 1u);
  EXPECT_TRUE(line_.hidden);
  EXPECT_EQ(parts_.lists, (Strings{"a.wav", "b.exe"}));
  // The line held 4 seconds; the last status shown before the drop was 3.
  EXPECT_TRUE(ctx_.Has("Timed 00:00:03 (CPS: 0)"));
  EXPECT_EQ(line_.titles.back(), "Disconnected");
  EXPECT_EQ(Request(), kRequestStop);
}

TEST_F(SessionTest, WaitCountdownKeysAndRequests) {
  Config([](ConfigRecord& c) { c.wait_time = 5; });
  for (int i = 0; i < 3; ++i) line_.AddKey(0, '+');
  controller_.SleepWaitCountdown(false);
  EXPECT_EQ(line_.now_ms(), 8000);
  EXPECT_EQ(ctx_.config.Current()->wait_time, 8);  // later waits too
  EXPECT_EQ(ctx_.shared.link_mode, kLinkWaiting);
  size_t first = line_.status.size();
  controller_.SleepWaitCountdown(false);
  EXPECT_EQ(line_.now_ms(), 16000);
  EXPECT_EQ(line_.status[first], "ESC cancel, Space try, S sleep - Waiting...(8)");
  controller_.SleepWaitCountdown(true);  // nothing to sleep for: "dial next" returns at once
  EXPECT_EQ(line_.now_ms(), 16000);
  // A redial request ends the wait, a stop request the session.
  Config([](ConfigRecord& c) { c.wait_time = 30; });
  first = line_.status.size();
  line_.on_status = [&] {
    if (line_.status.size() == first + 2) ctx_.shared.control_request = kRequestRedial;
  };
  controller_.SleepWaitCountdown(false);
  EXPECT_LT(line_.now_ms(), 19000);
  EXPECT_FALSE(ctx_.Has("Aborted!"));
  line_.on_status = [&] { ctx_.shared.control_request = kRequestStop; };
  controller_.SleepWaitCountdown(false);
  EXPECT_EQ(ctx_.Count("Aborted!"), 1);
}

TEST_F(SessionTest, SleepKeyAndSleepFlag) {
  Config([](ConfigRecord& c) { c.wait_time = 3; });
  line_.AddKey(500, 'S');
  controller_.SleepWaitCountdown(false);  // no SLEEPFLAG: S does nothing
  EXPECT_EQ(line_.now_ms(), 3000);
  Config([](ConfigRecord& c) { c.sleep_flag = "sleep.flg"; });  // SLEEPTIME 60
  line_.AddKey(3500, 'S');                                      // Wait -> Sleep (makes the flag)
  line_.AddKey(10000, 's');                                     // Sleep -> ends (removes the flag)
  controller_.SleepWaitCountdown(false);
  EXPECT_GE(line_.now_ms(), 10000);
  EXPECT_LT(line_.now_ms(), 11000);
  EXPECT_EQ(std::ranges::count(line_.titles, "Sleeping"), 1);
  EXPECT_FALSE(Exists("sleep.flg"));
  // Start asleep: the flag is made first, and ESC in the sleep removes it and stops.
  line_.AddKey(line_.now_ms() + 2000, kKeyEsc);
  line_.status.clear();
  EXPECT_EQ(controller_.RunDialSession(true), SessionOutcome::kStop);
  EXPECT_TRUE(line_.DialledNumbers().empty());
  EXPECT_EQ(line_.status.front(), "ESC cancel, Space try, S sleep - Sleeping...(60)");
  EXPECT_FALSE(Exists("sleep.flg"));
  EXPECT_TRUE(ctx_.Has("Aborted!"));
}

// The break time reached while the controller waits to redial: "Aborted!" once all the same.
TEST_F(SessionTest, AbortIsOncePerSessionAlsoWhenABreakComesDuringTheWait) {
  session_.Abort();
  session_.Abort();
  EXPECT_EQ(ctx_.Count("Aborted!"), 1);
  EXPECT_EQ(Request(), kRequestStop);
  session_.Begin();  // a new session may abort again
  session_.Abort();
  EXPECT_EQ(ctx_.Count("Aborted!"), 2);

  session_.Begin();
  ctx_.ClearLines();
  ctx_.shared.control_request = kRequestNone;
  FakeParts url_check(line_);
  Events events(env_, ctx_.tasks, ctx_.log, ctx_.config, ctx_.shared, flags_, session_, url_check);
  line_.Script({Line::Fail(kErrorLineBusy)});
  bool broken = false;
  line_.on_status = [&] {
    if (broken || line_.status.back().find("Waiting") == std::string::npos) return;
    broken = true;
    // On a task, whose one-second wait passes at once on the simulated clock.
    TaskHandle step = ctx_.tasks.Start("Halt service", [&](uint32_t) {
      events.BreakSession();
      return 0u;
    });
    EXPECT_TRUE(testing::WaitUntil([&] { return !Tasks::Running(step); }));
  };
  EXPECT_EQ(controller_.RunDialSession(false), SessionOutcome::kStop);
  EXPECT_TRUE(broken);
  EXPECT_EQ(ctx_.Count("Aborted!"), 1);
  EXPECT_EQ(line_.DialledNumbers().size(), 1u);
}

// A clock set an hour ahead counts one second on-line; the statistics are saved every minute (a
// kill costs at most a minute) and at the end of the call.
TEST_F(SessionTest, OnlineSecondsSurviveAClockJumpAndAreSavedEveryMinute) {
  line_.Script({Line::Connect(0, 150000)});
  Config([](ConfigRecord& c) { c.redial = false; });
  AtOnlineLines({{4, [&] { line_.clock_offset += 3600; }}});
  EXPECT_EQ(controller_.RunDialSession(false), SessionOutcome::kStop);
  EXPECT_EQ(controller_.online_seconds(), 149u);
  EXPECT_EQ(std::ranges::count(line_.titles, "On-Line 00:00:02 (Demo)"), 1);
  ASSERT_EQ(parts_.saves.size(), 3u);
  EXPECT_EQ(parts_.saves[1] - parts_.saves[0], 60);
}

// (A failing first test and reload rules: tests/cases/link_check and tests/cases/events.)
TEST_F(SessionTest, SpaceAndAFailedLinkTestRedialOnTheNextNumber) {
  Config([](ConfigRecord& c) { c.add_phone = {"", "111"}; });
  parts_.tests_failing = 1;
  line_.Script({Line::Connect()});
  AtOnlineLines({{2, [&] { line_.PressNow(' '); }},
                 {4, [&] { line_.PressNow('t'); }},                             // fails
                 {6, [&] { ctx_.shared.control_request = kRequestTestLink; }},  // passes
                 {8, [&] { line_.PressNow(kKeyEsc); }}});
  EXPECT_EQ(controller_.RunDialSession(false), SessionOutcome::kStop);
  EXPECT_EQ(line_.DialledNumbers(), (Strings{"555", "111", "555"}));
  EXPECT_EQ(ctx_.Count("Disconnected"), 3);
  EXPECT_EQ(ctx_.Count("Error: Bad connection."), 1);
}

TEST_F(SessionTest, ProxyModeUntilEsc) {
  line_.AddKey(3000, kKeyEsc);
  EXPECT_EQ(controller_.RunProxyMode(), SessionOutcome::kStop);
  // Three passes: 0, 1 and 2 seconds shown; ESC is read after the third.
  EXPECT_EQ(ctx_.Lines(), (Strings{"PROXY READY", "Press <ESC> to abort", "Timed 00:00:02 (CPS: 0)",
                                   "Aborted!"}));
  EXPECT_EQ(line_.status.front(), "              Time: 00:00:00 (CPS: 0)");
  EXPECT_EQ(ctx_.shared.link_mode, kLinkOnline);
}

// After the call, between "Timed" and "Disconnected": the modem's answer line by line, only when
// MODEMSTATISTICS is set and the modem said something; and the update's tick at the connect and
// every second on-line, only with AUTOUPDATE.
TEST_F(SessionTest, ModemStatisticsAfterTheCallAndUpdateTicksWhileOnline) {
  const std::string mark(1, kNoStampMarker);
  struct Case {
    std::string command, answer;
    bool auto_update;
    Strings logged;  // between "Timed ..." and "Disconnected"
    int reads;
  };
  const Case cases[] = {
      {"", "ignored", false, {}, 0},
      {"ati6", "", true, {}, 1},
      {"ati6",
       "ati6\r\r\nLink 28800\r\nRetrains 2\r\n",
       true,
       {"Start modem statistics", mark + "> ati6", mark + "> ", mark + "> Link 28800",
        mark + "> Retrains 2", "Stop modem statistics"},
       1},
  };
  for (const Case& c : cases) {
    ctx_.ClearLines();
    parts_.update_ticks.clear();
    parts_.modem_reads = 0;
    parts_.modem_answer = c.answer;
    Config([&](ConfigRecord& r) {
      r.redial = false;
      r.modem_statistics = c.command;
      r.auto_update = c.auto_update;
    });
    ctx_.shared.control_request = kRequestNone;
    line_.Script({Line::Connect(1000, 4000)});
    EXPECT_EQ(controller_.RunDialSession(false), SessionOutcome::kStop);
    Strings lines = ctx_.Lines();
    auto timed = std::find(lines.begin(), lines.end(), "Timed 00:00:03 (CPS: 0)");
    auto disconnected = std::find(lines.begin(), lines.end(), "Disconnected");
    ASSERT_TRUE(timed != lines.end() && disconnected > timed) << c.answer;
    EXPECT_EQ(Strings(timed + 1, disconnected), c.logged) << c.answer;
    EXPECT_EQ(parts_.modem_reads, c.reads) << c.answer;
    // The connect, then one tick per on-line second until the drop.
    EXPECT_EQ(parts_.update_ticks.size(), c.auto_update ? 5u : 0u) << c.answer;
  }
}

// A reload request (SIGHUP) ends proxy mode, a call (hung up and saved first) and the wait between
// dials, each for a reload; a stop asked for at the same time wins.
TEST_F(SessionTest, ReloadRequestEndsEachPartOfTheSession) {
  auto ask_reload_at = [&](const char* status, bool with_stop) {
    line_.on_status = [&, status, with_stop] {
      if (line_.status.back().find(status) == std::string::npos) return;
      if (with_stop) ctx_.shared.control_request = kRequestStop;
      ctx_.shared.reload_requested = true;
    };
  };
  struct Case {
    const char* status;  // the status line at which the reload is asked for
    bool with_stop, proxy;
    SessionOutcome outcome;
    size_t dials;
  } cases[] = {
      {"Time: 00:00:01", false, true, SessionOutcome::kReload, 0},
      {"Time: 00:00:01", true, true, SessionOutcome::kStop, 0},
      {"On-Line 00:00:02", false, false, SessionOutcome::kReload, 1},
      {"On-Line 00:00:02", true, false, SessionOutcome::kStop, 1},
      {"Waiting...(20)", false, false, SessionOutcome::kReload, 1},
  };
  Config([](ConfigRecord& c) { c.wait_time = 30; });
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.status) + (c.with_stop ? " with a stop" : ""));
    ctx_.ClearLines();
    ctx_.shared.control_request = kRequestNone;
    ctx_.shared.reload_requested = false;
    session_.Begin();
    parts_.saves.clear();
    line_.Script(
        {std::string(c.status).starts_with("Wait") ? Line::Fail(kErrorLineBusy) : Line::Connect()});
    size_t dialled = line_.DialledNumbers().size();
    int hangups = line_.hangups();
    int64_t began = line_.now_ms();
    ask_reload_at(c.status, c.with_stop);
    EXPECT_EQ(c.proxy ? controller_.RunProxyMode() : controller_.RunDialSession(false), c.outcome);
    EXPECT_EQ(Request() == kRequestStop, c.with_stop);
    EXPECT_FALSE(c.outcome == SessionOutcome::kReload && ctx_.Has("Aborted!"));
    EXPECT_EQ(line_.DialledNumbers().size() - dialled, c.dials);
    EXPECT_LT(line_.now_ms() - began, 15000);  // at once, not after a wait or a drop
    EXPECT_TRUE(c.dials == 0 || line_.hangups() > hangups);
    if (c.outcome == SessionOutcome::kReload && std::string(c.status).starts_with("On-Line")) {
      EXPECT_TRUE(ctx_.Has("Disconnected"));
      EXPECT_FALSE(parts_.saves.empty());  // the call's time is kept
    }
  }
}

// netrove.dat is written anew: a failed write or rename leaves it as it was, and nothing beside it.
TEST(AddSectionToConfigTest, FailuresLeaveTheFileWholeAndSuccessMakesItPrivate) {
  testing::FakeEnv files;
  testing::FaultEnv env(files);
  files.PutFile("netrove.dat", "; settings\n", 0644);
  env.FailWriteNumber(0);
  EXPECT_FALSE(AddSectionToConfig(env, "netrove.dat", "\n[ISP]\nPassword x\n"));
  env.FailRenames(true);
  EXPECT_FALSE(AddSectionToConfig(env, "netrove.dat", "\n[ISP]\nPassword x\n"));
  env.FailRenames(false);
  EXPECT_EQ(files.Paths(), Strings{"netrove.dat"});
  EXPECT_EQ(files.FileText("netrove.dat"), "; settings\n");
  EXPECT_EQ(files.Stat("netrove.dat")->mode, 0644u);
  ASSERT_TRUE(AddSectionToConfig(env, "netrove.dat", "\n[ISP]\nPassword x\n"));
  EXPECT_EQ(files.FileText("netrove.dat"), "; settings\n\n[ISP]\nPassword x\n");
  EXPECT_EQ(files.Stat("netrove.dat")->mode, 0600u);  // it holds a password now
  EXPECT_EQ(files.Paths(), Strings{"netrove.dat"});
}

}  // namespace
}  // namespace netrove
