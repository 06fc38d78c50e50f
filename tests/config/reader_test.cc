// The reader core: sections, keyword types, reset rules, DEFLOAD, acting
// lines, the password and time-limit steps.
#include <gtest/gtest.h>

#include <set>

#include "config/config.h"
#include "config/keywords.h"
#include "config/scrambler.h"
#include "config/syntax.h"

namespace netrove {
namespace {

constexpr uint32_t kNow = 1'000'000;  // a Wednesday, 13:46:40
constexpr uint32_t kVolume = 0xA1B2C3D4;

// A phonebook with "Provider" (stored credentials) and "Bare" (none).
ParseEnvironment Env(bool console = true) {
  ParseEnvironment env;
  env.resolve_entry = [](const std::string& name) -> std::string {
    for (const char* entry : {"Provider", "Bare"}) {
      if (EqualsNoCase(name, entry)) return entry;
    }
    return name;
  };
  env.entry_exists = [](const std::string& name) { return name == "Provider" || name == "Bare"; };
  env.entry_defaults = [](const std::string& name) -> std::optional<EntryDefaults> {
    if (name != "Provider") return std::nullopt;
    return EntryDefaults{"book-user", "book-pass", "book-dom", "555"};
  };
  env.console_present = console;
  env.now = kNow;
  env.volume_key = kVolume;
  return env;
}

ParseResult Parse(const std::string& text, const std::string& connection = "Provider",
                  bool collect = false, const ConfigRecord& previous = ConfigRecord(),
                  const ParseEnvironment& env = Env()) {
  return ParseConfiguration(text, connection, collect, previous, env);
}

TEST(Reader, GlobalPartThenSection) {
  ParseResult r = Parse(
      "; comment\n"
      "DialTime 30\r\n"
      "WaitTime 7\n"
      "[Other]\n"
      "DialTime 99\n"
      "[provider]\n"
      "  waittime\t\t20  \n"
      "[Another]\n"
      "WaitTime 1\n");
  EXPECT_EQ(r.record.dial_time, 30);
  EXPECT_EQ(r.record.wait_time, 20);
  EXPECT_TRUE(r.record.section_found);
  EXPECT_EQ(r.record.entry_name, "Provider");
  EXPECT_TRUE(r.warnings.empty());
}

TEST(Reader, HeaderWithInnerSpacesDoesNotMatch) {
  for (const char* header : {"[ Provider]", "[Provider ]", "[ Provider ]"}) {
    ParseResult r = Parse(std::string(header) + "\nWaitTime 20\n");
    EXPECT_FALSE(r.record.section_found) << header;
    EXPECT_EQ(r.record.wait_time, 10) << header;
  }
  // Leading and trailing blanks of the line itself are trimmed.
  EXPECT_TRUE(Parse("  [PROVIDER]\t\nWaitTime 20\n").record.section_found);
}

TEST(Reader, ValueTypeEdgeCases) {
  ParseResult r = Parse(
      "[Provider]\n"
      "WaitTime 70000\n"
      "SleepTime -5\n"
      "DialTime 60 ; a comment\n"
      "MaxRetry 5\n"
      "Redial no\n"
      "BreakIfFound\n"
      "CostPerMinute y\n"
      "MaxLenPOP3Mail -12\n"
      "Execute c:\\Program  Files\\x.exe  /a\n"
      "Password *my  secret word\n"
      "ProxySize 10%\n");
  const ConfigRecord& c = r.record;
  EXPECT_EQ(c.wait_time, 0);
  EXPECT_EQ(c.sleep_time, 0);
  EXPECT_EQ(c.dial_time, 0);
  EXPECT_EQ(c.max_retry, 5);
  EXPECT_FALSE(c.redial);
  EXPECT_FALSE(c.break_if_found);
  EXPECT_TRUE(c.cost_per_minute);
  EXPECT_EQ(c.max_len_pop3_mail, -12);
  EXPECT_EQ(c.execute, (std::vector<std::string>{"c:\\Program Files\\x.exe /a"}));
  EXPECT_EQ(c.password, "my secret word");
  EXPECT_EQ(c.proxy_size, "10%");
  for (const char* v : {"N", "No", ""}) {
    EXPECT_FALSE(Parse(std::string("Redial ") + v + "\n").record.redial) << v;
  }
  for (const char* v : {"yes", "Y"}) {
    EXPECT_TRUE(Parse(std::string("Redial No\n[Provider]\nRedial ") + v).record.redial) << v;
  }
}

TEST(Reader, DefaultsMatchTheKeywordTable) {
  ConfigRecord reset = ResetConfigRecord(ConfigRecord());
  // The record's initial values are the table's defaults.
  ConfigRecord initial;
  initial.add_phone = {""};
  EXPECT_TRUE(reset == initial);
  // Whatever a file set, a reset gives the same record again.
  ConfigRecord dirty =
      Parse(
          "DialTime 1\nWaitTime 2\nRedial No\nHidePort No\nAutoHide Yes\nNetrovePort 5\n"
          "ProxySize 9\nProxyDiskFree 1\nMaxLenPOP3Mail 3\nPOP3ServerSleep 1\nEventID 1 1 exit\n"
          "ExecuteFlag a b\nMapLink 1,h:2\nUser u\nPassword *p\nBreak 5\nExecuteStart x\n")
          .record;
  EXPECT_TRUE(ResetConfigRecord(dirty) == reset);
  EXPECT_EQ(reset.add_phone, (std::vector<std::string>{""}));
  EXPECT_EQ(reset.dial_time, 60);
  EXPECT_EQ(reset.wait_time, 10);
  EXPECT_EQ(reset.pop3_server_sleep, 60);
  EXPECT_EQ(reset.max_len_pop3_mail, 2147483647);
  EXPECT_EQ(reset.proxy_disk_free, "3%");
  EXPECT_EQ(reset.proxy_size, "0");
  EXPECT_EQ(reset.cache_dns_day, 3);
  EXPECT_TRUE(reset.hide_proxy && reset.hide_rtsp && reset.redial && reset.def_load);
  EXPECT_FALSE(reset.auto_update || reset.rtsp || reset.cost_per_minute);
  // Every keyword of the table is unique and upper case.
  std::set<std::string_view> names;
  for (const KeywordRow& row : KeywordTable()) {
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
    EXPECT_EQ(UpperAscii(row.name), row.name);
  }
  EXPECT_EQ(names.size(), 69u);
}

TEST(Reader, ResetKeepsTheSurvivingKeywords) {
  ParseResult first = Parse(
      "ProxyLog p.log\nProxyAuthString BASIC abc\nCacheDNSday 9\nPOP3ViaWebPort 81\n"
      "RTSP Yes\nHideRTSP No\nConnectFlag c.flg\nDialFlag d.flg\nBreakFlag b.flg\n"
      "LogFile x.log\nDialTime 5\nHidePOP3 No\nAddPhone 123\nCost 00:00 1\n");
  ParseResult second = Parse("", "Provider", false, first.record);
  const ConfigRecord& c = second.record;
  EXPECT_EQ(c.proxy_log, "p.log");
  EXPECT_EQ(c.proxy_auth_string, "BASIC abc");
  EXPECT_EQ(c.cache_dns_day, 9);
  EXPECT_EQ(c.pop3_via_web_port, 81);
  EXPECT_TRUE(c.rtsp);
  EXPECT_FALSE(c.hide_rtsp);
  EXPECT_EQ(c.connect_flag, "c.flg");
  EXPECT_EQ(c.dial_flag, "d.flg");
  // Everything else is back to its default.
  EXPECT_EQ(c.break_flag, "");
  EXPECT_EQ(c.log_file, "");
  EXPECT_EQ(c.dial_time, 60);
  EXPECT_TRUE(c.hide_pop3);
  EXPECT_EQ(c.add_phone, (std::vector<std::string>{""}));
  EXPECT_TRUE(c.cost.empty());
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
  EXPECT_EQ(c.entry_name, "Provider");
  // Only the section's warning, once.
  EXPECT_EQ(r.warnings, (std::vector<std::string>{"Warning: Unknown command BOGUS."}));
  // Acting lines of the final reading only: the section's command, once.
  ASSERT_EQ(r.acting.size(), 1u);
  EXPECT_EQ(r.acting[0].command, "s.exe");
  // A later "DefLoad Yes" in the section cancels it.
  EXPECT_EQ(Parse("DialTime 30\n[Provider]\nDefLoad No\nDefLoad Yes\n").record.dial_time, 30);
}

TEST(Reader, WarningsForUnknownKeywords) {
  ParseResult r = Parse("foo 1\nDialTime 5\n[Provider]\nbar\nfoo\n");
  EXPECT_EQ(r.warnings, (std::vector<std::string>{"Warning: Unknown command FOO.",
                                                  "Warning: Unknown command BAR.",
                                                  "Warning: Unknown command FOO."}));
}

TEST(Reader, ListsAndActingLines) {
  ParseResult r = Parse(
      "[Provider]\n"
      "MapLink 80,www.example.com:8080,hide\nMapLink 0,bad:1\nMapULink 53,ns.example.net:53\n"
      "EventID 80 3 exec warn.wav\nEventID 91 2 EXIT now\nEventID x 1 exit\n"
      "ExecuteFlag mail.flg $GetMail\nExecuteFlag lonely.flg\n"
      "ExecuteAt 12:00 c:\\icq.exe\nExecuteAt 25\nExecuteStart status.url\nExecuteStart\n"
      "AddPhone 111\nAddPhone 222\nOffPhone 1:00-2:00\nCost 00:00 1.8\nCost 10:00 1.8H\n"
      "Break 120\nBreak 30\nBreak 600\n");
  const ConfigRecord& c = r.record;
  EXPECT_EQ(c.map_link, (std::vector<std::string>{"80,www.example.com:8080,hide"}));
  EXPECT_EQ(c.map_ulink, (std::vector<std::string>{"53,ns.example.net:53,Show"}));
  ASSERT_EQ(c.events.size(), 2u);
  EXPECT_EQ(c.events[1].number, 91);
  EXPECT_EQ(c.events[1].action, EventAction::kExit);
  EXPECT_EQ(c.events[1].text, "");
  EXPECT_EQ(c.execute_flag_files, (std::vector<std::string>{"mail.flg"}));
  EXPECT_EQ(c.execute_flag_commands, (std::vector<std::string>{"$GetMail"}));
  EXPECT_EQ(c.add_phone, (std::vector<std::string>{"", "111", "222"}));
  EXPECT_EQ(c.off_phone, (std::vector<std::string>{"1:00-2:00"}));
  EXPECT_EQ(c.cost, (std::vector<std::string>{"00:00 1.8", "10:00 1.8H"}));
  EXPECT_EQ(c.break_time, kNow + 30 * 60);
  ASSERT_EQ(r.acting.size(), 2u);
  EXPECT_EQ(r.acting[0].kind, ActingLine::Kind::kExecuteAt);
  EXPECT_EQ(r.acting[0].time, "12:00");
  EXPECT_EQ(r.acting[0].command, "c:\\icq.exe");
  EXPECT_EQ(r.acting[1].kind, ActingLine::Kind::kExecuteStart);
  EXPECT_EQ(r.acting[1].command, "status.url");
  EXPECT_TRUE(c.collected_break.empty() && c.collected_event_id.empty());
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
  EXPECT_EQ(c.collected_event_id, (std::vector<std::string>{"80 3 EXEC warn wav", "1 1 EXIT"}));
  EXPECT_EQ(c.collected_execute_flag, (std::vector<std::string>{"f.flg run it"}));
  EXPECT_EQ(c.collected_execute_at, (std::vector<std::string>{"25 icq.exe"}));
  EXPECT_EQ(c.collected_execute_start, (std::vector<std::string>{"go.exe"}));
  EXPECT_EQ(c.collected_break, (std::vector<std::string>{"30", "12:00"}));
}

TEST(Reader, UnknownConnection) {
  // Console present and no phonebook entry: fatal.
  EXPECT_TRUE(Parse("Password *x\n", "Nowhere").connection_not_found);
  // A phonebook entry without a section: password cleared, credentials
  // from the phonebook.
  ParseResult r = Parse("Password *x\n", "provider");
  EXPECT_FALSE(r.connection_not_found);
  EXPECT_FALSE(r.record.section_found);
  EXPECT_EQ(r.record.entry_name, "Provider");
  EXPECT_EQ(r.log_lines, (std::vector<std::string>{"Connection not listed in local base",
                                                   "Loading default UserName/Password"}));
  EXPECT_EQ(r.record.user, "book-user");
  EXPECT_EQ(r.record.password, "book-pass");
  EXPECT_EQ(r.record.domain, "book-dom");
  EXPECT_EQ(r.record.phone, "555");
  // Without a console nothing is fatal and the load still finishes.
  ParseResult quiet =
      Parse("DayTimeLimit 2\nPassword *x\n", "Nowhere", false, ConfigRecord(), Env(false));
  EXPECT_FALSE(quiet.connection_not_found);
  EXPECT_EQ(quiet.record.password, "");
  EXPECT_EQ(quiet.record.day_time_limit, 120);
}

TEST(Reader, PasswordAndPhonebookDefaults) {
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
  // A user name of its own keeps the phonebook's credentials out.
  r = Parse("[Provider]\nUser me\n");
  EXPECT_EQ(r.record.user, "me");
  EXPECT_EQ(r.record.password, "");
  EXPECT_TRUE(r.log_lines.empty());
  // The file's phone number wins over the phonebook's.
  EXPECT_EQ(Parse("[Provider]\nPhone 777\n").record.phone, "777");
}

TEST(Reader, TimeLimitsAndStatisticsName) {
  ParseResult r = Parse("[Provider]\nDayTimeLimit 60\nWeekTimeLimit 30\nMonthTimeLimit 0\n");
  EXPECT_EQ(r.record.day_time_limit, 3600);
  EXPECT_EQ(r.record.week_time_limit, 3600);
  EXPECT_EQ(r.record.month_time_limit, 0);
  r = Parse("[Provider]\nDayTimeLimit 10\nWeekTimeLimit 100\nMonthTimeLimit 5\n");
  EXPECT_EQ(r.record.week_time_limit, 6000);
  EXPECT_EQ(r.record.month_time_limit, 600);
  // No overflow, no negative limits.
  r = Parse("[Provider]\nDayTimeLimit 2147483647\nWeekTimeLimit 5\n");
  EXPECT_EQ(r.record.day_time_limit, 2147483647);
  EXPECT_EQ(r.record.week_time_limit, 2147483647);  // raised to the day, then capped
  r = Parse("[Provider]\nWeekTimeLimit -5\nMonthTimeLimit -1\n");
  EXPECT_EQ(r.record.week_time_limit, 0);
  EXPECT_EQ(r.record.month_time_limit, 0);

  EXPECT_EQ(Parse("[Provider]\n", "PROVIDER").record.statistics_name, "Provider");
  // A limit file name stands for its connection.
  r = Parse("[Provider]\nWaitTime 4\n", "provider.LIM");
  EXPECT_TRUE(r.record.section_found);
  EXPECT_EQ(r.record.wait_time, 4);
  EXPECT_EQ(r.record.statistics_name, "Provider");
  // A section name that is not the entry's: the bare section name.
  r = Parse("[Work]\nConnection Provider\n", "Work");
  EXPECT_EQ(r.record.entry_name, "Provider");
  EXPECT_EQ(r.record.statistics_name, "Work");
}

TEST(Reader, BreakUsesTheEarliestTime) {
  // kNow is 13:46:40 of its day.
  ASSERT_EQ(kNow % 86400, 13u * 3600 + 46 * 60 + 40);
  EXPECT_EQ(Parse("Break 120\nBreak 30\n").record.break_time, kNow + 1800);
  EXPECT_EQ(Parse("Break 14:00\nBreak 600\n").record.break_time,
            kNow - kNow % 86400 + 14 * 3600 + 40);
  EXPECT_EQ(Parse("Break 13:00\n").record.break_time, kNow - kNow % 86400 + 86400 + 13 * 3600 + 40);
  EXPECT_EQ(Parse("Break\n").record.break_time, 0u);
}

}  // namespace
}  // namespace netrove
