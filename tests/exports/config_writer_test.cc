// Edits of netrove.dat that keep what they do not change.
#include "config/config_writer.h"

#include <gtest/gtest.h>

namespace netrove {
namespace {

const char kFile[] =
    "; global settings\nLogFile netrove.log\nDialTime 30\n\n[Office]\n; the office line\n"
    "Connection Office\nAddPhone 111\nUnknown keeps\nAddPhone 222\n  addphone   333\n"
    "DialTime 45\n\n[Home]\nDialTime 50\n";

// `text` with its one `from` replaced by `to`.
std::string Edited(const std::string& from, const std::string& to, std::string text = kFile) {
  return text.replace(text.find(from), from.size(), to);
}

TEST(ConfigWriter, RewritesOnlyTheKeywordsGivenInPlace) {
  const std::string phones = "AddPhone 111\nUnknown keeps\nAddPhone 222\n  addphone   333\n";
  const struct {
    std::string section;
    std::vector<ConfigLine> lines;
    std::string want;
  } cases[] = {
      // A single value replaced in place, the rest kept.
      {"Office", {{"DIALTIME", "90"}}, Edited("DialTime 45\n", "DIALTIME 90\n")},
      // Fewer list entries: the surplus old lines go.
      {"OFFICE", {{"AddPhone", "9"}}, Edited(phones, "AddPhone 9\nUnknown keeps\n")},
      // More list entries: they follow the last old line.
      {"Office",
       {{"AddPhone", "1"}, {"AddPhone", "2"}, {"AddPhone", "3"}, {"AddPhone", "4"}},
       Edited(phones, "AddPhone 1\nUnknown keeps\nAddPhone 2\nAddPhone 3\nAddPhone 4\n")},
      // Two keywords grow, given in another order than the file's.
      {"Office",
       {{"DialTime", "1"},
        {"DialTime", "2"},
        {"AddPhone", "1"},
        {"AddPhone", "2"},
        {"AddPhone", "3"},
        {"AddPhone", "4"}},
       Edited("DialTime 45\n", "DialTime 1\nDialTime 2\n",
              Edited(phones, "AddPhone 1\nUnknown keeps\nAddPhone 2\nAddPhone 3\nAddPhone 4\n"))},
      // A list emptied: every old line goes.
      {"Office", {{"AddPhone", "", true}}, Edited(phones, "Unknown keeps\n")},
      // New keywords go to the end of the part, before its blank lines; empty new values are
      // not written.
      {"Office",
       {{"Redial", "NO"}, {"CheckURL", ""}},
       Edited("DialTime 45\n", "DialTime 45\nRedial NO\n")},
      // The global part ends at the first header.
      {"",
       {{"DIALTIME", "20"}, {"LOGFILE", ""}, {"Proxy", "LOCALHOST"}},
       Edited("LogFile netrove.log\nDialTime 30\n", "LOGFILE\nDIALTIME 20\nProxy LOCALHOST\n")},
      // The last section runs to the end of the file.
      {"home",
       {{"DialTime", "5"}, {"Redial", "NO"}},
       Edited("DialTime 50\n", "DialTime 5\nRedial NO\n")},
  };
  for (const auto& c : cases)
    EXPECT_EQ(RewriteConfigPart(kFile, c.section, c.lines), c.want) << c.want;
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
