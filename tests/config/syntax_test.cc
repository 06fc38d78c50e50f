// Line normalisation, the value types and the list entries of netrove.dat.
#include "config/syntax.h"

#include <gtest/gtest.h>

#include "config/list_entries.h"

namespace netrove {
namespace {

using Lines = std::vector<std::string>;

// Normalisation of the lines and keywords is seen through the reader.
TEST(Syntax, LinesAreSplitOnLfOrCrLfAndCutAt255) {
  EXPECT_EQ(SplitConfigLines("a\r\nb\nc"), (Lines{"a", "b", "c"}));
  EXPECT_EQ(SplitConfigLines("a\n\r\n\n"), (Lines{"a", "", ""}));
  EXPECT_EQ(SplitConfigLines("a\rb\n"), Lines{"a\rb"});  // a lone CR is no line end
  EXPECT_TRUE(SplitConfigLines("").empty());
  EXPECT_EQ(SplitConfigLines(std::string(300, 'x') + "\r\nnext"),
            (Lines{std::string(255, 'x'), "next"}));
}

TEST(Syntax, MalformedNumbersGiveZero) {
  const std::pair<const char*, uint16_t> words[] = {
      {"60", 60}, {"65535", 65535}, {"65536", 0}, {"-5", 0},  {"", 0},
      {"abc", 0}, {"+7", 7},        {"6 0", 0},   {"12x", 0}, {"60 ; comment", 0}};
  for (auto& [in, want] : words) EXPECT_EQ(ReadWord(in), want) << in;
  EXPECT_EQ(ParseWord("000"), std::optional<uint16_t>(0));
  for (const char* bad : {"", "-", "x"}) EXPECT_EQ(ParseWord(bad), std::nullopt) << bad;
  const std::pair<const char*, int32_t> longs[] = {{"2147483647", 2147483647},
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

TEST(Syntax, ListEntriesAndDroppedLines) {
  const std::pair<const char*, const char*> maplinks[] = {
      {"80,www.example.com:80,show", "80,www.example.com:80,show"},
      {"23,host:2323", "23,host:2323,Show"},
      {"53,ns.example.net:53,hide,extra", "53,ns.example.net:53,hide,extra"},
      {"080,h:0080", "80,h:80,Show"}};
  for (auto& [in, want] : maplinks) EXPECT_EQ(ParseMapLinkEntry(in), want) << in;
  for (const char* bad : {"0,host:80", "80,host:0", "80,host:70000", "80,:80", "80 host:80",
                          "80,host80", "a:1,host", "x,host:80", ""})
    EXPECT_EQ(ParseMapLinkEntry(bad), std::nullopt) << bad;
  // EVENTID: the stored form; EXIT keeps no text.
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

}  // namespace
}  // namespace netrove
