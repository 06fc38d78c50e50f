#include "dialer/events.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "dialer/events_fixture.h"

namespace netrove {
namespace {

EventRule Rule(uint16_t number, uint16_t threshold, EventAction action, std::string text = "") {
  EventRule r;
  r.number = number;
  r.threshold = threshold;
  r.action = action;
  r.text = std::move(text);
  return r;
}

void SetRules(std::vector<EventRule> rules) {
  UpdateConfig([&](ConfigRecord& c) { c.events = rules; });
}

using EventRules = EventsFixture;

TEST_F(EventRules, ExecRunsAtEveryThresholdAndNotBefore) {
  SetRules({Rule(80, 10, EventAction::kExec, "$CREATEFLAG " + Path("no tone"))});
  ResetEventCounts();
  for (int dial = 1; dial <= 25; ++dial) {
    EXPECT_FALSE(FireEvent(80));
    bool expected = dial % 10 == 0;
    EXPECT_EQ(Exists("no tone"), expected) << "dial " << dial;
    std::filesystem::remove(dir_ / "no tone");
  }
  int executes = 0;
  for (const std::string& line : Logged())
    if (line == "Execute $CREATEFLAG " + Path("no tone")) ++executes;
  EXPECT_EQ(executes, 2);
  EXPECT_FALSE(FireEvent(81));  // no rule, no effect
}

TEST_F(EventRules, OnlyTheLastRuleOfANumberCounts) {
  SetRules({Rule(91, 1, EventAction::kExec, "$CREATEFLAG " + Path("first")),
            Rule(5, 1, EventAction::kExec, "$CREATEFLAG " + Path("other")),
            Rule(91, 2, EventAction::kExec, "$CREATEFLAG " + Path("second"))});
  FireEvent(91);
  EXPECT_FALSE(Exists("first"));
  EXPECT_FALSE(Exists("second"));
  FireEvent(91);
  EXPECT_FALSE(Exists("first"));
  EXPECT_TRUE(Exists("second"));
  EXPECT_FALSE(Exists("other"));
}

TEST_F(EventRules, ExitAfterThreeAuthenticationFailuresAndCountsReset) {
  SetRules({Rule(91, 3, EventAction::kExit)});
  ResetEventCounts();
  std::atomic<int> aborts{0};
  SetAbortProgram([&] { ++aborts; });
  FireEvent(91);
  FireEvent(91);
  ResetEventCounts();  // a connection came up
  FireEvent(91);
  FireEvent(91);
  EXPECT_EQ(aborts, 0);
  FireEvent(91);
  EXPECT_EQ(aborts, 1);

  // Without the controller's routine: "Aborted!" and a stop request.
  SetAbortProgram(nullptr);
  for (int i = 0; i < 3; ++i) FireEvent(91);
  EXPECT_EQ(Shared().control_request, kRequestStop);
  EXPECT_EQ(Logged().back(), "Aborted!");
}

TEST_F(EventRules, ReloadSetsTheConnectionNameUnlessEmpty) {
  Shared().connection_arg.Set("First");
  SetRules({Rule(0, 2, EventAction::kReload, "Second"), Rule(1, 1, EventAction::kReload, "")});
  EXPECT_FALSE(FireEvent(0));
  EXPECT_EQ(Shared().connection_arg.Get(), "First");
  EXPECT_TRUE(FireEvent(0));
  EXPECT_EQ(Shared().connection_arg.Get(), "Second");
  EXPECT_TRUE(FireEvent(1));
  EXPECT_EQ(Shared().connection_arg.Get(), "Second");
}

TEST_F(EventRules, NewRulesStartFromZeroButAnUnrelatedChangeKeepsCounts) {
  SetRules({Rule(80, 3, EventAction::kExec, "$GETMAIL")});
  ResetEventCounts();
  std::atomic<int> runs{0};
  SetGetMailService([&] { ++runs; });
  FireEvent(80);
  FireEvent(80);
  UpdateConfig([](ConfigRecord& c) { c.wait_time = 11; });  // "+" key: same rules
  FireEvent(80);
  EXPECT_EQ(runs, 1);
  FireEvent(80);
  FireEvent(80);
  SetRules({Rule(80, 3, EventAction::kExec, "$GETMAIL"), Rule(7, 1, EventAction::kExit)});
  FireEvent(80);
  EXPECT_EQ(runs, 1);
  FireEvent(80);
  FireEvent(80);
  EXPECT_EQ(runs, 2);
}

using Macros = EventsFixture;

TEST_F(Macros, SessionRequestsAndFlagFiles) {
  RunCommand("$break");
  EXPECT_EQ(Shared().control_request, kRequestStop);
  EXPECT_FALSE(Shared().restart_requested);
  Shared().control_request = kRequestNone;
  RunCommand("  $RESTART  ");
  EXPECT_EQ(Shared().control_request, kRequestStop);
  EXPECT_TRUE(Shared().restart_requested);

  RunCommand("$CreateFlag " + Path("sleep.flg"));
  EXPECT_TRUE(Exists("sleep.flg"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "sleep.flg"));
  RunCommand("$DELETEFLAG " + Path("sleep.flg"));
  EXPECT_FALSE(Exists("sleep.flg"));
  RunCommand("$CREATEFLAG");      // no name: nothing
  EXPECT_TRUE(Logged().empty());  // RunCommand itself does not log
}

TEST_F(Macros, ServicesAreStartedThroughTheirRoutines) {
  RunCommand("$GETMAIL");
  RunCommand("$CHECKURL");
  RunCommand("$UPDATE");
  EXPECT_EQ(Logged(), (std::vector<std::string>{"Get POP3 mail: service not running",
                                                "Check URL: service not running",
                                                "Auto update: service not running"}));
  int mail = 0, update = 0;
  std::vector<std::string> targets;
  SetGetMailService([&] { ++mail; });
  SetUpdateService([&] { ++update; });
  SetCheckUrlService([&](const std::string& t) { targets.push_back(t); });
  UpdateConfig([](ConfigRecord& c) { c.check_url = "www.example.org"; });
  RunCommand("$getmail");
  RunCommand("$UPDATE");
  RunCommand("$CHECKURL");
  RunCommand("$CHECKURL   10.0.0.1/index.html ");
  EXPECT_EQ(mail, 1);
  EXPECT_EQ(update, 1);
  EXPECT_EQ(targets, (std::vector<std::string>{"www.example.org", "10.0.0.1/index.html"}));
}

TEST_F(Macros, ProgramListLogsEachEntryInOrder) {
  int mail = 0;
  SetGetMailService([&] { ++mail; });
  RunProgramList({"$GETMAIL", "$CREATEFLAG " + Path("x"), "/M"});
  EXPECT_EQ(mail, 1);
  EXPECT_TRUE(Exists("x"));
  EXPECT_EQ(Logged(), (std::vector<std::string>{"Execute $GETMAIL",
                                                "Execute $CREATEFLAG " + Path("x"), "Execute /M"}));
}

TEST_F(Macros, ConfigurationHooksActAndTheWritableFileIsReported) {
  ConfigHooks hooks = EventHooks();
  ASSERT_TRUE(hooks.execute_start && hooks.execute_at && hooks.stop_acting_tasks && hooks.tariffs);
  EXPECT_FALSE(hooks.session_reset);
  hooks.execute_start("$CREATEFLAG " + Path("started"));
  EXPECT_TRUE(Exists("started"));
  EXPECT_EQ(Logged().back(), "Execute $CREATEFLAG " + Path("started"));
  hooks.execute_at("60", "$GETMAIL");
  EXPECT_EQ(ExecuteAtTaskCount(), 1);
  hooks.stop_acting_tasks();
  EXPECT_EQ(ExecuteAtTaskCount(), 0);

  std::string home = Path("home");
  std::filesystem::create_directories(home);
  ASSERT_EQ(chmod(home.c_str(), 0700), 0);
  std::string dat = home + "/netrove.dat";
  std::ofstream(dat) << "; settings\n";
  const char* old_home = std::getenv("NETROVE_HOME");
  std::string saved = old_home != nullptr ? old_home : "";
  setenv("NETROVE_HOME", home.c_str(), 1);
  ASSERT_EQ(chmod(dat.c_str(), 0600), 0);
  EXPECT_FALSE(WarnIfConfigWritable());
  ASSERT_EQ(chmod(dat.c_str(), 0620), 0);
  EXPECT_TRUE(WarnIfConfigWritable());
  EXPECT_NE(Logged().back().find("netrove.dat can be written by other users"), std::string::npos);
  ASSERT_EQ(chmod(dat.c_str(), 0644), 0);
  ASSERT_EQ(chmod(home.c_str(), 0777), 0);
  EXPECT_TRUE(WarnIfConfigWritable());
  ASSERT_EQ(chmod(home.c_str(), 01777), 0);  // sticky: others cannot replace the file
  EXPECT_FALSE(WarnIfConfigWritable());
  if (old_home != nullptr)
    setenv("NETROVE_HOME", saved.c_str(), 1);
  else
    unsetenv("NETROVE_HOME");
}

}  // namespace
}  // namespace netrove
