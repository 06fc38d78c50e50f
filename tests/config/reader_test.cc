// The reader core: sections, keyword types, reset rules, DEFLOAD, acting
// lines, the password and time-limit steps.
#include <gtest/gtest.h>

#include "config/config.h"
#include "config/scrambler.h"
#include "config/syntax.h"

namespace netrove {
namespace {

constexpr uint32_t kNow = 1'000'000;  // a Wednesday, 13:46:40
constexpr uint32_t kMidnight = kNow - 13 * 3600 - 46 * 60 - 40;
constexpr uint32_t kVolume = 0xA1B2C3D4;
using Strings = std::vector<std::string>;

// A phonebook with "Provider" (stored credentials) and "Bare" (none).
ParseEnvironment Env() {
  ParseEnvironment env;
  env.resolve_entry = [](const std::string& name) -> std::string {
    for (const char* entry : {"Provider", "Bare"})
      if (EqualsNoCase(name, entry)) return entry;
    return name;
  };
  env.entry_exists = [](const std::string& name) { return name == "Provider" || name == "Bare"; };
  env.entry_defaults = [](const std::string& name) -> std::optional<EntryDefaults> {
    if (name != "Provider") return std::nullopt;
    return EntryDefaults{"book-user", "book-pass", "book-dom", "555"};
  };
  env.now = kNow;
  env.volume_key = kVolume;
  return env;
}

ParseResult Parse(const std::string& text, const std::string& connection = "Provider",
                  bool collect = false, const ConfigRecord& previous = ConfigRecord(),
                  const ParseEnvironment& env = Env()) {
  return ParseConfiguration(text, connection, collect, previous, env);
}

TEST(Reader, GlobalPartThenSectionAndWarnings) {
  ParseResult r = Parse(
      "; comment\nDialTime 30\r\nWaitTime 7\nfoo 1\n[Other]\nDialTime 99\nbaz\n"
      "[provider]\n  waittime\t\t20  \nbar\n[Another]\nWaitTime 1\n");
  EXPECT_EQ(r.record.dial_time, 30);
  EXPECT_EQ(r.record.wait_time, 20);
  EXPECT_TRUE(r.record.section_found);
  EXPECT_EQ(r.record.entry_name, "Provider");
  EXPECT_EQ(r.warnings, (Strings{"Warning: Unknown command FOO. (netrove.dat, line 4)",
                                 "Warning: Unknown command BAR. (netrove.dat, line 10)"}));
  // Blanks inside the brackets keep a header from matching; around the line they do not.
  for (const char* header : {"[ Provider]", "[Provider ]", "[ Provider ]"}) {
    ParseResult h = Parse(std::string(header) + "\nWaitTime 20\n");
    EXPECT_FALSE(h.record.section_found) << header;
    EXPECT_EQ(h.record.wait_time, 10) << header;
  }
  EXPECT_TRUE(Parse("  [PROVIDER]\t\nWaitTime 20\n").record.section_found);
}

TEST(Reader, ValueTypeEdgeCases) {
  const ConfigRecord c = Parse(
                             "[Provider]\nWaitTime 70000\nSleepTime -5\nDialTime 60 ; a comment\n"
                             "MaxRetry 5\nRedial no\nBreakIfFound\nCostPerMinute y\n"
                             "MaxLenPOP3Mail -12\nExecute c:\\Program  Files\\x.exe  /a\n"
                             "Password *my  secret word\nProxySize 10%\n")
                             .record;
  EXPECT_EQ(std::make_tuple(c.wait_time, c.sleep_time, c.dial_time, c.max_retry),
            std::make_tuple(0, 0, 0, 5));
  EXPECT_FALSE(c.redial || c.break_if_found);
  EXPECT_TRUE(c.cost_per_minute);
  EXPECT_EQ(c.max_len_pop3_mail, -12);
  EXPECT_EQ(c.execute, Strings{"c:\\Program Files\\x.exe /a"});
  EXPECT_EQ(c.password, "my secret word");
  EXPECT_EQ(c.proxy_size, "10%");
  for (const char* v : {"N", "No", ""})
    EXPECT_FALSE(Parse(std::string("Redial ") + v + "\n").record.redial) << v;
  for (const char* v : {"yes", "Y"})
    EXPECT_TRUE(Parse(std::string("Redial No\n[Provider]\nRedial ") + v).record.redial) << v;
}

TEST(Reader, ResetGivesTheDefaultsButKeepsTheSurvivors) {
  ConfigRecord initial;
  initial.add_phone = {""};
  EXPECT_TRUE(ResetConfigRecord(ConfigRecord()) == initial);
  ParseResult first = Parse(
      "ProxyLog p.log\nProxyAuthString BASIC abc\nCacheDNSday 9\nPOP3ViaWebPort 81\n"
      "RTSP Yes\nHideRTSP No\nConnectFlag c.flg\nDialFlag d.flg\nBreakFlag b.flg\nLogFile x.log\n"
      "DialTime 5\nHidePOP3 No\nAddPhone 123\nCost 00:00 1\nEventID 1 1 exit\nMapLink 1,h:2\n"
      "User u\nPassword *p\nBreak 5\nExecuteFlag a b\nAutoHide Yes\nProxySize 9\n");
  ConfigRecord want = initial;
  want.proxy_log = "p.log";
  want.proxy_auth_string = "BASIC abc";
  want.cache_dns_day = 9;
  want.pop3_via_web_port = 81;
  want.rtsp = true;
  want.hide_rtsp = false;
  want.connect_flag = "c.flg";
  want.dial_flag = "d.flg";
  EXPECT_TRUE(ResetConfigRecord(first.record) == want);
  // A file read after the first starts from that reset.
  ConfigRecord second = Parse("", "Provider", false, first.record).record;
  EXPECT_EQ(std::make_tuple(second.connect_flag, second.break_flag, second.dial_time),
            std::make_tuple(std::string("c.flg"), std::string(), uint16_t{60}));
}

TEST(Reader, DefLoadNoReadsOnlyTheSection) {
  ParseResult r = Parse(
      "DialTime 30\nUnknownGlobal 1\nConnectFlag global.flg\nBreak 5\nExecuteStart g.exe\n"
      "[Provider]\nDefLoad No\nWaitTime 3\nExecuteStart s.exe\nBogus x\n");
  const ConfigRecord& c = r.record;
  EXPECT_FALSE(c.def_load);
  EXPECT_EQ(c.dial_time, 60);  // the global value is gone
  EXPECT_EQ(c.wait_time, 3);
  EXPECT_EQ(c.connect_flag, "global.flg");  // survives the reset
  EXPECT_EQ(c.break_time, 0u);              // the global BREAK is cleared
  // The section's warning and acting line, once each.
  EXPECT_EQ(r.warnings, Strings{"Warning: Unknown command BOGUS. (netrove.dat, line 10)"});
  ASSERT_EQ(r.acting.size(), 1u);
  EXPECT_EQ(r.acting[0].command, "s.exe");
  // A later "DefLoad Yes" in the section cancels it.
  EXPECT_EQ(Parse("DialTime 30\n[Provider]\nDefLoad No\nDefLoad Yes\n").record.dial_time, 30);
}

// Hostile values: a line cut at 255 characters loses the fragment it may
// end in, and times the clock cannot hold are refused, not wrapped.
TEST(Reader, CutLinesAndTimesOutOfRange) {
  std::string ports = "PortDog 23";
  while (ports.size() < 250) ports += ",28340";
  ports += ",28340";  // cut inside this item: "...,2" must not become port 2
  ParseResult r = Parse(ports +
                        "\nExecuteAt 4294967296 /bin/echo A\nExecuteAt -1 /bin/echo B\n"
                        "ExecuteAt 99999999999 /bin/echo C\nExecuteAt 10:3x /bin/echo D\n"
                        "ExecuteAt 527040 /bin/echo E\nExecuteAt 23:59 /bin/echo F\n"
                        "Break 1e9\n");
  EXPECT_EQ(r.record.port_dog.back(), '0');
  EXPECT_EQ(r.record.port_dog.size() % 6, 2u);  // "23" and whole ",28340" items
  ASSERT_EQ(r.acting.size(), 2u);
  EXPECT_EQ(r.acting[0].command, "/bin/echo E");
  EXPECT_EQ(r.acting[1].command, "/bin/echo F");
  EXPECT_EQ(r.record.break_time, 0u);
  EXPECT_EQ(r.warnings,
            (Strings{"Warning: line 1 cut at 255 characters (netrove.dat).",
                     "Warning: EXECUTEAT time out of range: 4294967296. (netrove.dat, line 2)",
                     "Warning: EXECUTEAT time out of range: -1. (netrove.dat, line 3)",
                     "Warning: EXECUTEAT time out of range: 99999999999. (netrove.dat, line 4)",
                     "Warning: EXECUTEAT time out of range: 10:3x. (netrove.dat, line 5)",
                     "Warning: BREAK time out of range: 1e9. (netrove.dat, line 8)"}));
}

TEST(Reader, ListsActingLinesAndTheEarliestBreak) {
  ParseResult r = Parse(
      "[Provider]\n"
      "MapLink 80,www.example.com:8080,hide\nMapLink 0,bad:1\nMapULink 53,ns.example.net:53\n"
      "EventID 80 3 exec warn.wav\nEventID 91 2 EXIT now\nEventID x 1 exit\n"
      "ExecuteFlag mail.flg $GetMail\nExecuteFlag lonely.flg\n"
      "ExecuteAt 12:00 c:\\icq.exe\nExecuteAt 25\nExecuteStart status.url\nExecuteStart\n"
      "AddPhone 111\nAddPhone 222\nOffPhone 1:00-2:00\nCost 00:00 1.8\nCost 10:00 1.8H\n"
      "Break 120\nBreak 30\nBreak 600\n");
  const ConfigRecord& c = r.record;
  EXPECT_EQ(c.map_link, Strings{"80,www.example.com:8080,hide"});
  EXPECT_EQ(c.map_ulink, Strings{"53,ns.example.net:53,Show"});
  ASSERT_EQ(c.events.size(), 2u);
  EXPECT_EQ(c.events[1], (EventRule{91, 0, 2, EventAction::kExit, ""}));
  EXPECT_EQ(c.execute_flag_files, Strings{"mail.flg"});
  EXPECT_EQ(c.execute_flag_commands, Strings{"$GetMail"});
  EXPECT_EQ(c.add_phone, (Strings{"", "111", "222"}));
  EXPECT_EQ(c.off_phone, Strings{"1:00-2:00"});
  EXPECT_EQ(c.cost, (Strings{"00:00 1.8", "10:00 1.8H"}));
  ASSERT_EQ(r.acting.size(), 2u);
  EXPECT_EQ(r.acting[0].kind, ActingLine::Kind::kExecuteAt);
  EXPECT_EQ(r.acting[0].time + " " + r.acting[0].command, "12:00 c:\\icq.exe");
  EXPECT_EQ(r.acting[1].kind, ActingLine::Kind::kExecuteStart);
  EXPECT_EQ(r.acting[1].command, "status.url");
  struct Case {
    const char* text;
    uint32_t want;
  } breaks[] = {
      {"Break 120\nBreak 30\nBreak 600\n", kNow + 1800},
      {"Break 14:00\nBreak 600\n", kMidnight + 14 * 3600 + 40},  // seconds kept from now
      {"Break 13:00\n", kMidnight + 86400 + 13 * 3600 + 40},     // passed: tomorrow
      {"Break\n", 0},
  };
  for (const Case& b : breaks) EXPECT_EQ(Parse(b.text).record.break_time, b.want) << b.text;
}

TEST(Reader, CollectModeRunsNothing) {
  ParseResult r = Parse(
      "[Provider]\nEventID 80 3 exec warn  wav\nEventID 1 1 Exit x\nExecuteFlag f.flg run it\n"
      "ExecuteAt 25 icq.exe\nExecuteStart go.exe\nBreak 30\nBreak 12:00\n",
      "Provider", true);
  const ConfigRecord& c = r.record;
  EXPECT_TRUE(r.acting.empty());
  EXPECT_TRUE(c.events.empty() && c.execute_flag_files.empty());
  EXPECT_EQ(c.break_time, 0u);
  EXPECT_EQ(c.collected_event_id, (Strings{"80 3 EXEC warn wav", "1 1 EXIT"}));
  EXPECT_EQ(c.collected_execute_flag, Strings{"f.flg run it"});
  EXPECT_EQ(c.collected_execute_at, Strings{"25 icq.exe"});
  EXPECT_EQ(c.collected_execute_start, Strings{"go.exe"});
  EXPECT_EQ(c.collected_break, (Strings{"30", "12:00"}));
}

TEST(Reader, UnknownConnectionAndPhonebookDefaults) {
  EXPECT_TRUE(Parse("Password *x\n", "Nowhere").connection_not_found);
  // A phonebook entry without a section: credentials from the phonebook.
  ParseResult r = Parse("Password *x\n", "provider");
  EXPECT_FALSE(r.connection_not_found || r.record.section_found);
  EXPECT_EQ(r.log_lines,
            (Strings{"Connection not listed in local base", "Loading default UserName/Password"}));
  const ConfigRecord& c = r.record;
  EXPECT_EQ((Strings{c.entry_name, c.user, c.password, c.domain, c.phone}),
            (Strings{"Provider", "book-user", "book-pass", "book-dom", "555"}));
  // A user name of its own keeps the phonebook's credentials out; the
  // file's phone number wins.
  r = Parse("[Provider]\nUser me\nPhone 777\n");
  EXPECT_EQ((Strings{r.record.user, r.record.password, r.record.phone}),
            (Strings{"me", "", "777"}));
  EXPECT_TRUE(r.log_lines.empty());
}

TEST(Reader, PasswordsAreBoundToEntryAndUser) {
  std::string scrambled = ScramblePasswordText("Provider", "joe", "s3cret", kVolume);
  ParseResult r = Parse("[Provider]\nUser joe\nPassword $" + scrambled + "\n");
  EXPECT_EQ(r.record.password, "s3cret");
  EXPECT_EQ(r.record.password_text, "$" + scrambled);
  // The fixed key for values without "$".
  scrambled = ScramblePasswordText("Provider", "joe", "abc", kFixedPasswordKey);
  EXPECT_EQ(Parse("[Provider]\nUser joe\nPassword " + scrambled).record.password, "abc");
  // A CONNECTION line changes the entry name the password is bound to.
  scrambled = ScramblePasswordText("Bare", "joe", "xyz", kVolume);
  r = Parse("[Provider]\nConnection bare\nUser joe\nPassword $" + scrambled);
  EXPECT_EQ(r.record.entry_name, "Bare");
  EXPECT_EQ(r.record.password, "xyz");
}

TEST(Reader, TimeLimitsAndStatisticsName) {
  struct Case {
    const char* text;
    int32_t day, week, month;
  } cases[] = {
      {"DayTimeLimit 60\nWeekTimeLimit 30\nMonthTimeLimit 0\n", 3600, 3600, 0},  // week raised
      {"DayTimeLimit 10\nWeekTimeLimit 100\nMonthTimeLimit 5\n", 600, 6000, 600},
      {"DayTimeLimit 2147483647\nWeekTimeLimit 5\n", 2147483647, 2147483647, 0},  // capped
      {"WeekTimeLimit -5\nMonthTimeLimit -1\n", 0, 0, 0},
  };
  for (const Case& c : cases) {
    ConfigRecord r = Parse(std::string("[Provider]\n") + c.text).record;
    EXPECT_EQ(std::make_tuple(r.day_time_limit, r.week_time_limit, r.month_time_limit),
              std::make_tuple(c.day, c.week, c.month))
        << c.text;
  }
  EXPECT_EQ(Parse("[Provider]\n", "PROVIDER").record.statistics_name, "Provider");
  // A limit file name stands for its connection.
  ParseResult r = Parse("[Provider]\nWaitTime 4\n", "provider.LIM");
  EXPECT_EQ(r.record.wait_time, 4);
  EXPECT_EQ(r.record.statistics_name, "Provider");
  // A section name that is not the entry's: the bare section name.
  r = Parse("[Work]\nConnection Provider\n", "Work");
  EXPECT_EQ(r.record.entry_name, "Provider");
  EXPECT_EQ(r.record.statistics_name, "Work");
}

}  // namespace
}  // namespace netrove
