// Edits of netrove.dat that keep what they do not change.
#include "config/config_writer.h"

#include <gtest/gtest.h>

namespace netrove {
namespace {

const char kFile[] =
    "; global settings\n"
    "LogFile netrove.log\n"
    "DialTime 30\n"
    "\n"
    "[Office]\n"
    "; the office line\n"
    "Connection Office\n"
    "AddPhone 111\n"
    "Unknown keeps\n"
    "AddPhone 222\n"
    "  addphone   333\n"
    "DialTime 45\n"
    "\n"
    "[Home]\n"
    "DialTime 50\n";

TEST(ConfigWriter, RewritesOnlyTheKeywordsGivenInPlace) {
  struct Case {
    const char* what;
    std::string section;
    std::vector<ConfigLine> lines;
    std::string want;
  } cases[] = {
      {"a single value replaced in place, the rest kept",
       "Office",
       {{"DIALTIME", "90"}},
       "; global settings\nLogFile netrove.log\nDialTime 30\n\n[Office]\n; the office "
       "line\nConnection Office\nAddPhone 111\nUnknown keeps\nAddPhone 222\n  addphone   "
       "333\nDIALTIME 90\n\n[Home]\nDialTime 50\n"},
      {"fewer list entries: the surplus old lines go",
       "OFFICE",
       {{"AddPhone", "9"}},
       "; global settings\nLogFile netrove.log\nDialTime 30\n\n[Office]\n; the office "
       "line\nConnection Office\nAddPhone 9\nUnknown keeps\nDialTime 45\n\n[Home]\nDialTime "
       "50\n"},
      {"more list entries: they follow the last old line",
       "Office",
       {{"AddPhone", "1"}, {"AddPhone", "2"}, {"AddPhone", "3"}, {"AddPhone", "4"}},
       "; global settings\nLogFile netrove.log\nDialTime 30\n\n[Office]\n; the office "
       "line\nConnection Office\nAddPhone 1\nUnknown keeps\nAddPhone 2\nAddPhone 3\nAddPhone "
       "4\nDialTime 45\n\n[Home]\nDialTime 50\n"},
      {"a list emptied: every old line goes",
       "Office",
       {{"AddPhone", "", true}},
       "; global settings\nLogFile netrove.log\nDialTime 30\n\n[Office]\n; the office "
       "line\nConnection Office\nUnknown keeps\nDialTime 45\n\n[Home]\nDialTime 50\n"},
      {"new keywords go to the end of the part, before its blank lines; empty new values "
       "are not written",
       "Office",
       {{"Redial", "NO"}, {"CheckURL", ""}},
       "; global settings\nLogFile netrove.log\nDialTime 30\n\n[Office]\n; the office "
       "line\nConnection Office\nAddPhone 111\nUnknown keeps\nAddPhone 222\n  addphone   "
       "333\nDialTime 45\nRedial NO\n\n[Home]\nDialTime 50\n"},
      {"the global part ends at the first header",
       "",
       {{"DIALTIME", "20"}, {"LOGFILE", ""}, {"Proxy", "LOCALHOST"}},
       "; global settings\nLOGFILE\nDIALTIME 20\nProxy LOCALHOST\n\n[Office]\n; the office "
       "line\nConnection Office\nAddPhone 111\nUnknown keeps\nAddPhone 222\n  addphone   "
       "333\nDialTime 45\n\n[Home]\nDialTime 50\n"},
      {"the last section runs to the end of the file",
       "home",
       {{"DialTime", "5"}, {"Redial", "NO"}},
       std::string(kFile).substr(0, std::string(kFile).size() - 12) + "DialTime 5\nRedial NO\n"},
  };
  for (const Case& c : cases) {
    std::optional<std::string> got = RewriteConfigPart(kFile, c.section, c.lines);
    ASSERT_TRUE(got.has_value()) << c.what;
    EXPECT_EQ(*got, c.want) << c.what;
  }
  EXPECT_FALSE(RewriteConfigPart(kFile, "Nowhere", {{"DialTime", "1"}}).has_value());
}

TEST(ConfigWriter, HeadersSectionsRemovalAndAppend) {
  // Lines that start with "[" and hold a "]" anywhere count; others do not.
  const char text[] = "[a]\nx 1\n[b] tail\n[c\n [d]\n[]\n[e]]\n";
  EXPECT_EQ(CountSectionHeaders(text), 4u);
  EXPECT_EQ(SectionNames(text, 10), (std::vector<std::string>{"a", "b", "", "e"}));
  EXPECT_EQ(SectionNames(text, 2).size(), 2u);
  EXPECT_TRUE(HasSection(kFile, "HOME"));
  EXPECT_FALSE(HasSection(kFile, "Hom"));

  size_t removed = 0;
  std::optional<std::string> without = RemoveConfigSection(kFile, "office", &removed);
  ASSERT_TRUE(without.has_value());
  EXPECT_EQ(*without,
            "; global settings\nLogFile netrove.log\nDialTime 30\n\n[Home]\nDialTime 50\n");
  EXPECT_EQ(removed, 9u);
  EXPECT_FALSE(RemoveConfigSection(kFile, "Nowhere").has_value());
  EXPECT_FALSE(RemoveConfigSection(kFile, "").has_value());

  EXPECT_EQ(AppendConfigSection("DialTime 1", "New", {{"User", "u"}, {"Cost", "", true}}),
            "DialTime 1\n\n[New]\nUser u\n");
  EXPECT_EQ(AppendConfigSection("", "New", {{"DefLoad", "NO"}}), "[New]\nDefLoad NO\n");
}

}  // namespace
}  // namespace netrove
