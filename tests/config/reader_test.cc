// The reader of netrove.dat (value types, list entries, sections, resets,
// DEFLOAD, acting lines, hostile values, passwords, limits), the scrambler.
#include <gtest/gtest.h>

#include <random>

#include "config/config.h"
#include "config/list_entries.h"
#include "config/scrambler.h"
#include "config/syntax.h"

namespace netrove {
namespace {

constexpr uint32_t kNow = 1'000'000;  // a Wednesday, 13:46:40
constexpr uint32_t kMidnight = kNow - 13 * 3600 - 46 * 60 - 40;
constexpr uint32_t kVolume = 0xA1B2C3D4;
using Strings = std::vector<std::string>;

TEST(Syntax, MalformedNumbersGiveZero) {
  const std::pair<const char*, uint16_t> words[] = {
      {"60", 60}, {"65535", 65535}, {"65536", 0}, {"-5", 0},  {"", 0},
      {"abc", 0}, {"+7", 7},        {"6 0", 0},   {"12x", 0}, {"60 ; comment", 0}};
  for (auto& [in, want] : words) EXPECT_EQ(ReadWord(in), want) << in;
  EXPECT_EQ(ParseWord("000"), std::optional<uint16_t>(0));
  for (const char* bad : {"", "-", "x"}) EXPECT_EQ(ParseWord(bad), std::nullopt) << bad;
  const std::pair<const char*, int32_t> longs[] = {{"2147483647", INT32_MAX},
                                                   {"-2147483648", INT32_MIN},
                                                   {"2147483648", 0},
                                                   {"-5", -5},
                                                   {"5 min", 0},
                                                   {"0x10", 0},
                                                   {"99999999999999999999", 0}};
  for (auto& [in, want] : longs) EXPECT_EQ(ReadLong(in), want) << in;
  for (const char* yes : {"Yes", "yes", "Y", "y", "yikes"}) EXPECT_TRUE(ReadYesNo(yes)) << yes;
  for (const char* no : {"No", "N", "", " Y", "true", "1"}) EXPECT_FALSE(ReadYesNo(no)) << no;
}

TEST(Syntax, MapLinkAndEventIdEntries) {
  const std::pair<const char*, const char*> maplinks[] = {
      {"80,www.example.com:80,show", "80,www.example.com:80,show"},
      {"23,host:2323", "23,host:2323,Show"},
      {"53,ns.example.net:53,hide,extra", "53,ns.example.net:53,hide,extra"},
      {"080,h:0080", "80,h:80,Show"}};
  for (auto& [in, want] : maplinks) EXPECT_EQ(ParseMapLinkEntry(in), want) << in;
  for (const char* bad : {"0,host:80", "80,host:0", "80,host:70000", "80,:80", "80 host:80",
                          "80,host80", "a:1,host", "x,host:80", ""})
    EXPECT_EQ(ParseMapLinkEntry(bad), std::nullopt) << bad;
  // The stored form; EXIT keeps no text; the running count starts at 0.
  const std::pair<const char*, const char*> events[] = {
      {"80 10 exec c:\\sound\\warning.wav", "80 10 EXEC c:\\sound\\warning.wav"},
      {"0 3 Exit with text", "0 3 EXIT"},
      {"91 2 reload OtherISP", "91 2 RELOAD OtherISP"}};
  for (auto& [in, want] : events) {
    auto rule = ParseEventIdEntry(in);
    ASSERT_TRUE(rule) << in;
    EXPECT_EQ(rule->count, 0) << in;
    EXPECT_EQ(EventRuleText(*rule), want);
  }
  for (const char* bad :
       {"", "80", "80 10", "80 10 run x", "x 10 exit", "80 y exit", "70000 1 exit", "-1 1 exit"})
    EXPECT_FALSE(ParseEventIdEntry(bad)) << bad;
}

// A phonebook with "Provider" (stored credentials) and "Bare" (none).
ParseResult Parse(const std::string& text, const std::string& connection = "Provider",
                  bool collect = false, const ConfigRecord& previous = ConfigRecord()) {
  ParseEnvironment env;
  env.resolve_entry = [](const std::string& name) -> std::string {
    for (const char* entry : {"Provider", "Bare"})
      if (EqualsNoCase(name, entry)) return entry;
    return name;
  };
  env.entry_exists = [](const std::string& name) { return name == "Provider" || name == "Bare"; };
  env.entry_defaults = [](const std::string& name) -> std::optional<EntryDefaults> {
    if (name == "Provider") return EntryDefaults{"book-user", "book-pass", "book-dom", "555"};
    return std::nullopt;
  };
  env.now = kNow;
  env.volume_key = kVolume;
  return ParseConfiguration(text, connection, collect, previous, env);
}

Strings Acting(const ParseResult& r) {
  Strings out;
  for (const ActingLine& a : r.acting)
    out.push_back(a.kind == ActingLine::Kind::kExecuteAt ? "at " + a.time + " " + a.command
                                                         : "start " + a.command);
  return out;
}

// The global part, then the section (blanks inside the brackets keep a
// header from matching); each value through the reader of its type.
TEST(Reader, GlobalPartThenSectionValuesAndWarnings) {
  ParseResult r = Parse(
      "; comment\nDialTime 30\r\nWaitTime 7\nfoo 1\n[Other]\nDialTime 99\nbaz\n[ Provider]\n"
      "SleepTime 9\n[Provider ]\nSleepTime 9\n  [PROVIDER]\t\n  waittime\t\t70000  \nbar\n"
      "MaxLenPOP3Mail -12\nRedial no\nExecute c:\\Program  Files\\x.exe  /a\n"
      "Password *my  secret word\nProxySize 10%\n[Another]\nMaxRetry 1\n");
  const ConfigRecord& c = r.record;
  EXPECT_TRUE(c.section_found);
  EXPECT_EQ(c.entry_name, "Provider");
  EXPECT_EQ(std::make_tuple(c.dial_time, c.wait_time, c.sleep_time, c.max_retry, c.redial),
            std::make_tuple(30, 0, 60, 0, false));
  EXPECT_EQ(c.max_len_pop3_mail, -12);
  EXPECT_EQ(c.execute, Strings{"c:\\Program Files\\x.exe /a"});
  EXPECT_EQ(c.password, "my secret word");
  EXPECT_EQ(c.proxy_size, "10%");
  EXPECT_EQ(r.warnings, (Strings{"Warning: Unknown command FOO. (netrove.dat, line 4)",
                                 "Warning: Unknown command BAR. (netrove.dat, line 14)"}));
}

TEST(Reader, ResetGivesTheDefaultsButKeepsTheSurvivors) {
  ConfigRecord initial;
  initial.add_phone = {""};
  EXPECT_TRUE(ResetConfigRecord(ConfigRecord()) == initial);
  ParseResult first = Parse(
      "ProxyLog p.log\nCacheDNSday 9\nRTSP Yes\nHideRTSP No\nConnectFlag c.flg\nBreakFlag b.flg\n"
      "LogFile x.log\nDialTime 5\nHidePOP3 No\nAddPhone 123\nCost 00:00 1\nEventID 1 1 exit\n"
      "MapLink 1,h:2\nUser u\nPassword *p\nBreak 5\nExecuteFlag a b\nAutoHide Yes\n");
  ConfigRecord want = initial;
  want.proxy_log = "p.log";
  want.cache_dns_day = 9;
  want.rtsp = true;
  want.hide_rtsp = false;
  want.connect_flag = "c.flg";
  EXPECT_TRUE(ResetConfigRecord(first.record) == want);
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
  EXPECT_EQ(Acting(r), Strings{"start s.exe"});
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
  EXPECT_EQ(Acting(r), (Strings{"at 527040 /bin/echo E", "at 23:59 /bin/echo F"}));
  EXPECT_EQ(r.record.break_time, 0u);
  EXPECT_EQ(r.warnings,
            (Strings{"Warning: line 1 cut at 255 characters (netrove.dat).",
                     "Warning: EXECUTEAT time out of range: 4294967296. (netrove.dat, line 2)",
                     "Warning: EXECUTEAT time out of range: -1. (netrove.dat, line 3)",
                     "Warning: EXECUTEAT time out of range: 99999999999. (netrove.dat, line 4)",
                     "Warning: EXECUTEAT time out of range: 10:3x. (netrove.dat, line 5)",
                     "Warning: BREAK time out of range: 1e9. (netrove.dat, line 8)"}));
}

// Lists and acting lines; the earliest BREAK wins. Collect mode runs
// nothing and keeps each line's text.
TEST(Reader, ListsActingLinesAndTheEarliestBreak) {
  const std::string text =
      "[Provider]\nMapLink 80,www.example.com:8080,hide\nMapLink 0,bad:1\n"
      "MapULink 53,ns.example.net:53\nEventID 80 3 exec warn  wav\nEventID 91 2 EXIT now\n"
      "EventID x 1 exit\nExecuteFlag mail.flg $GetMail\nExecuteFlag lonely.flg\n"
      "ExecuteAt 12:00 c:\\icq.exe\nExecuteAt 25\nExecuteStart status.url\nExecuteStart\n"
      "AddPhone 111\nAddPhone 222\nOffPhone 1:00-2:00\nCost 00:00 1.8\nBreak 120\nBreak 30\n";
  ParseResult r = Parse(text);
  const ConfigRecord& c = r.record;
  EXPECT_EQ(c.map_link, Strings{"80,www.example.com:8080,hide"});
  EXPECT_EQ(c.map_ulink, Strings{"53,ns.example.net:53,Show"});
  ASSERT_EQ(c.events.size(), 2u);
  EXPECT_EQ(c.events[1], (EventRule{91, 0, 2, EventAction::kExit, ""}));
  EXPECT_EQ(c.execute_flag_files, Strings{"mail.flg"});
  EXPECT_EQ(c.execute_flag_commands, Strings{"$GetMail"});
  EXPECT_EQ(c.add_phone, (Strings{"", "111", "222"}));
  EXPECT_EQ(c.off_phone, Strings{"1:00-2:00"});
  EXPECT_EQ(c.cost, Strings{"00:00 1.8"});
  EXPECT_EQ(Acting(r), (Strings{"at 12:00 c:\\icq.exe", "start status.url"}));
  const std::pair<const char*, uint32_t> breaks[] = {
      {"Break 120\nBreak 30\nBreak 600\n", kNow + 1800},
      {"Break 14:00\nBreak 600\n", kMidnight + 14 * 3600 + 40},  // seconds kept from now
      {"Break 13:00\n", kMidnight + 86400 + 13 * 3600 + 40},     // passed: tomorrow
      {"Break\n", 0},
  };
  for (auto& [lines, want] : breaks) EXPECT_EQ(Parse(lines).record.break_time, want) << lines;
  r = Parse(text, "Provider", true);
  EXPECT_TRUE(r.acting.empty() && r.record.events.empty() && r.record.execute_flag_files.empty());
  EXPECT_EQ(r.record.break_time, 0u);
  EXPECT_EQ(r.record.collected_event_id, (Strings{"80 3 EXEC warn wav", "91 2 EXIT"}));
  EXPECT_EQ(r.record.collected_execute_flag, Strings{"mail.flg $GetMail"});
  EXPECT_EQ(r.record.collected_execute_at, Strings{"12:00 c:\\icq.exe"});
  EXPECT_EQ(r.record.collected_execute_start, Strings{"status.url"});
  EXPECT_EQ(r.record.collected_break, (Strings{"120", "30"}));
}

TEST(Reader, UnknownConnectionAndPhonebookDefaults) {
  // A phonebook entry without a section: credentials from the phonebook.
  ParseResult r = Parse("Password *x\n", "provider");
  EXPECT_FALSE(r.connection_not_found || r.record.section_found);
  EXPECT_EQ(r.log_lines,
            (Strings{"Connection not listed in local base", "Loading default UserName/Password"}));
  const ConfigRecord& c = r.record;
  EXPECT_EQ((Strings{c.entry_name, c.user, c.password, c.domain, c.phone}),
            (Strings{"Provider", "book-user", "book-pass", "book-dom", "555"}));
  // A user name of its own keeps the book's credentials out; the phone wins.
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
  const std::tuple<const char*, int32_t, int32_t, int32_t> cases[] = {
      {"DayTimeLimit 10\nWeekTimeLimit 100\nMonthTimeLimit 5\n", 600, 6000, 600},
      {"DayTimeLimit 2147483647\nWeekTimeLimit 5\n", 2147483647, 2147483647, 0},  // capped
      {"WeekTimeLimit -5\nMonthTimeLimit -1\n", 0, 0, 0},
  };
  for (auto& [text, day, week, month] : cases) {
    ConfigRecord r = Parse(std::string("[Provider]\n") + text).record;
    EXPECT_EQ(std::make_tuple(r.day_time_limit, r.week_time_limit, r.month_time_limit),
              std::make_tuple(day, week, month))
        << text;
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

TEST(Scrambler, FixedVectorWorkedOutFromTheDefinition) {
  // Entry "AB": A = 2 + 256*'A' = 16642; user "u": B = 1 + 256*'u' = 29953;
  // K = 0x12345678. 'h' ^ 0x56 = 0x3E, K = 0x6E6D586D; 'i' ^ 0x58 = 0x31.
  // Length byte 02, then 3E 31: "023E31", one leading zero dropped.
  EXPECT_EQ(ScramblePasswordText("AB", "u", "hi", 0x12345678), "23E31");
  const std::tuple<const char*, const char*, const char*, bool> cases[] = {
      {"$23E31", "AB", "u", true},
      {"$023e31", "AB", "u", true},
      {"23E31", "AB", "u", false},  // without "$": the fixed key
      {"$23E31", "BB", "u", false},
      {"$23E31", "AB", "v", false}};
  for (auto& [value, entry, user, gives_hi] : cases)
    EXPECT_EQ(DecodePasswordWithKey(value, entry, user, 0x12345678) == "hi", gives_hi)
        << value << " " << entry << " " << user;
}

TEST(Password, PlainEmptyAndRandomRoundTrips) {
  const uint32_t kKey = 0x5eed1234;  // a volume's key
  const std::pair<const char*, const char*> cases[] = {
      {"$0", ""}, {"", ""}, {"*plain text", "plain text"}, {"*", ""}};
  for (auto& [value, want] : cases)
    EXPECT_EQ(DecodePasswordWithKey(value, "ISP", "user", kKey), want) << value;
  EXPECT_EQ(ScramblePassword("ISP", "user", "", kKey), "$0");
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    std::string password(rng() % 128, '\0');
    for (char& c : password) c = static_cast<char>(rng());
    std::string entry = round % 3 ? "Provider" : "", user = round % 5 ? "\xffme" : "";
    std::string written = ScramblePassword(entry, user, password, kKey);
    ASSERT_EQ(written[0], '$');
    EXPECT_EQ(DecodePasswordWithKey(written, entry, user, kKey), password) << round;
    EXPECT_EQ(DecodePasswordWithKey(ScramblePasswordText(entry, user, password, kFixedPasswordKey),
                                    entry, user, static_cast<uint32_t>(rng())),
              password);
  }
}

}  // namespace
}  // namespace netrove
