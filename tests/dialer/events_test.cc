#include "dialer/events.h"

#include <sys/stat.h>

#include <algorithm>
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

class EventRules : public EventsFixture {
 protected:
  void SetUp() override {
    EventsFixture::SetUp();
    SetGetMailService([this] { ++runs_; });
    ResetEventCounts();
  }
  // Fires `number` `times` times; gives the firings (from 1) that ran $GETMAIL.
  std::vector<int> Fire(uint16_t number, int times) {
    std::vector<int> ran;
    for (int i = 1; i <= times; ++i) {
      int before = runs_;
      FireEvent(number);
      if (runs_ != before) ran.push_back(i);
    }
    return ran;
  }
  std::atomic<int> runs_{0};
};
using Ints = std::vector<int>;

TEST_F(EventRules, ExecRunsAtEveryThresholdAndOnlyTheLastRuleOfANumberCounts) {
  SetRules({Rule(80, 10, EventAction::kExec, "$GETMAIL")});
  EXPECT_EQ(Fire(80, 25), (Ints{10, 20}));
  std::vector<std::string> log = Logged();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Execute $GETMAIL"), 2);
  EXPECT_FALSE(FireEvent(81));  // no rule, no effect
  SetRules({Rule(91, 1, EventAction::kExec, "$BREAK"), Rule(5, 1, EventAction::kExec, "$BREAK"),
            Rule(91, 2, EventAction::kExec, "$GETMAIL")});
  EXPECT_EQ(Fire(91, 4), (Ints{2, 4}));
  EXPECT_EQ(Shared().control_request, kRequestNone);
}

TEST_F(EventRules, CountsStartAgainOnConnectAndWithNewRulesOnly) {
  SetRules({Rule(80, 3, EventAction::kExec, "$GETMAIL")});
  EXPECT_EQ(Fire(80, 2), Ints{});
  ResetEventCounts();  // a connection came up
  EXPECT_EQ(Fire(80, 3), Ints{3});
  EXPECT_EQ(Fire(80, 2), Ints{});
  UpdateConfig([](ConfigRecord& c) { c.wait_time = 11; });  // "+" key: same rules
  EXPECT_EQ(Fire(80, 1), Ints{1});
  EXPECT_EQ(Fire(80, 2), Ints{});
  SetRules({Rule(80, 3, EventAction::kExec, "$GETMAIL"), Rule(7, 1, EventAction::kExit)});
  EXPECT_EQ(Fire(80, 3), Ints{3});
}

TEST_F(EventRules, ExitAfterThreeAuthenticationFailures) {
  SetRules({Rule(91, 3, EventAction::kExit)});
  std::atomic<int> aborts{0};
  SetAbortProgram([&] { ++aborts; });
  for (int i = 0; i < 2; ++i) FireEvent(91);
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

  // netrove.dat runs programs: a file that group or others can change warns.
  std::string home = Path("home"), dat = Path("home/netrove.dat");
  std::filesystem::create_directories(home);
  std::ofstream(dat) << "; settings\n";
  std::string saved = std::getenv("NETROVE_HOME") ? std::getenv("NETROVE_HOME") : "";
  setenv("NETROVE_HOME", home.c_str(), 1);
  struct Case {
    mode_t home, file;
    bool warns;
  } cases[] = {{0700, 0600, false}, {0700, 0620, true}, {0777, 0644, true}, {01777, 0644, false}};
  for (const Case& c : cases) {
    ASSERT_EQ(chmod(home.c_str(), c.home) | chmod(dat.c_str(), c.file), 0);
    EXPECT_EQ(WarnIfConfigWritable(), c.warns) << std::oct << c.home << " " << c.file;
  }
  std::vector<std::string> log = Logged();
  ASSERT_GE(log.size(), 2u);
  EXPECT_NE(log[log.size() - 2].find("netrove.dat can be written by other users"),
            std::string::npos);
  EXPECT_EQ(log.back().rfind("Warning: directory ", 0), 0u);
  // A password that group or others may read: netrove.dat and the phonebook.
  ASSERT_EQ(chmod(home.c_str(), 0700), 0);
  std::string book = Path("home/phonebook");
  setenv("NETROVE_PHONEBOOK", book.c_str(), 1);
  std::ofstream(book) << "[ISP]\npassword  secret\n";
  ASSERT_EQ(chmod(dat.c_str(), 0644) | chmod(book.c_str(), 0600), 0);
  EXPECT_FALSE(WarnIfPasswordsReadable());  // netrove.dat holds none
  std::ofstream(dat) << "[ISP]\nPassword *x\n";
  ASSERT_EQ(chmod(book.c_str(), 0640), 0);
  EXPECT_TRUE(WarnIfPasswordsReadable());
  log = Logged();
  EXPECT_EQ(log[log.size() - 2], "Warning: " + dat +
                                     " holds a password and can be read by other "
                                     "users (chmod 600 " +
                                     dat + ")");
  EXPECT_EQ(log.back().rfind("Warning: " + book + " holds a password", 0), 0u);
  unsetenv("NETROVE_PHONEBOOK");
  saved.empty() ? unsetenv("NETROVE_HOME") : setenv("NETROVE_HOME", saved.c_str(), 1);
}

}  // namespace
}  // namespace netrove
