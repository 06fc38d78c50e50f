// Line normalisation and the value types of netrove.dat.
#include "config/syntax.h"

#include <gtest/gtest.h>

#include "config/list_entries.h"

namespace netrove {
namespace {

TEST(SplitConfigLines, AcceptsLfAndCrLfAndCutsLongLines) {
  EXPECT_EQ(SplitConfigLines("a\r\nb\nc"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(SplitConfigLines("a\n\r\n\n"), (std::vector<std::string>{"a", "", ""}));
  EXPECT_TRUE(SplitConfigLines("").empty());
  // A CR inside a line is not a line end.
  EXPECT_EQ(SplitConfigLines("a\rb\n"), (std::vector<std::string>{"a\rb"}));
  std::string longline(300, 'x');
  auto lines = SplitConfigLines(longline + "\r\nnext");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(255, 'x'));
  EXPECT_EQ(lines[1], "next");
}

TEST(NormalizeLine, TrimsTabsAndRunsOfSpaces) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"   \t  ", ""},
      {"  DialTime 60  ", "DialTime 60"},
      {"\tExecute\tc:\\Program  Files\\x.exe\t", "Execute c:\\Program Files\\x.exe"},
      {"Password *my  pass word", "Password *my pass word"},
      {"a \t \t b", "a b"},
      {"[ISP]", "[ISP]"},
  };
  for (const Case& c : cases) EXPECT_EQ(NormalizeLine(c.in), c.out) << c.in;
}

TEST(SplitKeyword, UpperCasesKeywordOnly) {
  EXPECT_EQ(SplitKeyword("dialTime 60"), (std::pair<std::string, std::string>{"DIALTIME", "60"}));
  EXPECT_EQ(SplitKeyword("Redial"), (std::pair<std::string, std::string>{"REDIAL", ""}));
  EXPECT_EQ(SplitKeyword("Execute a b"), (std::pair<std::string, std::string>{"EXECUTE", "a b"}));
}

TEST(ValueTypes, WordLongAndYesNo) {
  struct WordCase {
    const char* in;
    uint16_t out;
  } words[] = {{"60", 60}, {"0", 0},   {"65535", 65535},    {"65536", 0}, {"70000", 0}, {"-5", 0},
               {"", 0},    {"abc", 0}, {"60 ; comment", 0}, {"6 0", 0},   {"+7", 7},    {"12x", 0}};
  for (const WordCase& c : words) EXPECT_EQ(ReadWord(c.in), c.out) << c.in;
  EXPECT_EQ(ParseWord("0"), std::optional<uint16_t>(0));
  EXPECT_EQ(ParseWord("000"), std::optional<uint16_t>(0));
  EXPECT_EQ(ParseWord(""), std::nullopt);
  EXPECT_EQ(ParseWord("-"), std::nullopt);
  EXPECT_EQ(ParseWord("x"), std::nullopt);

  EXPECT_EQ(ReadLong("2147483647"), 2147483647);
  EXPECT_EQ(ReadLong("-2147483648"), INT32_MIN);
  EXPECT_EQ(ReadLong("2147483648"), 0);
  EXPECT_EQ(ReadLong("-5"), -5);
  EXPECT_EQ(ReadLong("5 min"), 0);
  EXPECT_EQ(ReadLong("99999999999999999999999"), 0);

  for (const char* yes : {"Yes", "yes", "Y", "y", "yikes"}) EXPECT_TRUE(ReadYesNo(yes)) << yes;
  for (const char* no : {"No", "no", "N", "", " Y", "true", "1"}) EXPECT_FALSE(ReadYesNo(no)) << no;
}

TEST(MapLinkEntry, StoredFormAndDroppedLines) {
  struct Case {
    const char* in;
    std::optional<std::string> out;
  } cases[] = {
      {"80,www.example.com:80,show", "80,www.example.com:80,show"},
      {"23,host:2323", "23,host:2323,Show"},
      {"53,ns.example.net:53,hide,extra", "53,ns.example.net:53,hide,extra"},
      {"080,h:0080", "80,h:80,Show"},
      {"0,host:80", std::nullopt},      // local port 0
      {"80,host:0", std::nullopt},      // remote port 0
      {"80,host:70000", std::nullopt},  // not a word
      {"80,:80", std::nullopt},         // no host
      {"80 host:80", std::nullopt},     // no comma
      {"80,host80", std::nullopt},      // no colon
      {"a:1,host", std::nullopt},       // colon only before the comma
      {"x,host:80", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseMapLinkEntry(c.in), c.out) << c.in;
}

TEST(EventIdEntry, RecordsAndDroppedLines) {
  auto rule = ParseEventIdEntry("80 10 exec c:\\sound\\warning.wav");
  ASSERT_TRUE(rule);
  EXPECT_EQ(rule->number, 80);
  EXPECT_EQ(rule->threshold, 10);
  EXPECT_EQ(rule->count, 0);
  EXPECT_EQ(rule->action, EventAction::kExec);
  EXPECT_EQ(rule->text, "c:\\sound\\warning.wav");
  EXPECT_EQ(EventRuleText(*rule), "80 10 EXEC c:\\sound\\warning.wav");

  rule = ParseEventIdEntry("0 3 Exit with text");
  ASSERT_TRUE(rule);
  EXPECT_EQ(rule->action, EventAction::kExit);
  EXPECT_EQ(rule->text, "");
  EXPECT_EQ(EventRuleText(*rule), "0 3 EXIT");

  rule = ParseEventIdEntry("91 2 reload OtherISP");
  ASSERT_TRUE(rule);
  EXPECT_EQ(rule->action, EventAction::kReload);
  EXPECT_EQ(rule->text, "OtherISP");

  for (const char* bad :
       {"", "80", "80 10", "80 10 run x", "x 10 exit", "80 y exit", "70000 1 exit", "-1 1 exit"}) {
    EXPECT_FALSE(ParseEventIdEntry(bad)) << bad;
  }
}

}  // namespace
}  // namespace netrove
