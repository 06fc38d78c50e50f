// The default content of netrove.dat.
#include "config/defaults.h"

#include <gtest/gtest.h>

#include "config/config.h"
#include "config/syntax.h"

namespace netrove {
namespace {

const std::string kRule = ";" + std::string(62, '-');

std::vector<std::string> Content(const std::string& prefix, bool with_comments) {
  std::string out = "keep\n";
  WriteDefaultContent(out, prefix, with_comments);
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(out.find('\r'), std::string::npos);
  std::vector<std::string> lines = SplitConfigLines(out);
  EXPECT_EQ(lines.front(), "keep") << "the content is appended";
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"", kRule, ""}));
  lines.erase(lines.begin());
  lines.resize(lines.size() - 3);
  return lines;
}

TEST(DefaultContent, TemplatePrefixAndCommentSwitch) {
  std::vector<std::string> full = Content("", true);
  ASSERT_EQ(full.size(), static_cast<size_t>(kDefaultTemplateLines));
  EXPECT_EQ(full.front(), "DialPrefix p");
  // A prefix goes in front of exactly the eleven setting lines.
  std::vector<std::string> hashed = Content("#", true);
  ASSERT_EQ(hashed.size(), full.size());
  int prefixed = 0;
  for (size_t i = 0; i < full.size(); ++i) {
    bool has = hashed[i] == "#" + full[i];
    prefixed += has;
    EXPECT_TRUE(has || hashed[i] == full[i]) << i;
  }
  EXPECT_EQ(prefixed, 11);
  // Without comments: the settings and lines 31-41; ADD's ";" prefix leaves
  // only lines 31-41.
  EXPECT_EQ(Content("", false).size(), 11u + 11);
  std::vector<std::string> add = Content(";", false);
  EXPECT_EQ(add, std::vector<std::string>(full.begin() + 30, full.begin() + 41));
}

TEST(DefaultContent, NewFileHeaderAndEveryKeywordKnown) {
  std::string loader = DefaultFileText(false);
  EXPECT_EQ(loader.rfind("; this default value\neventID 91 3 exit\nDialPrefix p\n", 0), 0u);
  EXPECT_EQ(DefaultFileText(true).rfind(
                "; this default value\neventID 91 3 exit\neventID 630 3 exit\nDialPrefix p\n", 0),
            0u);
  // Read as it is, the new file sets the active lines and warns of nothing.
  ParseEnvironment env;
  ParseResult r = ParseConfiguration(loader, "Any", false, ConfigRecord(), env);
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_EQ(r.record.dial_prefix, "p");
  EXPECT_EQ(r.record.wait_time, 5);
  EXPECT_EQ(r.record.netrove_port, 880);
  ASSERT_EQ(r.record.events.size(), 1u);
  EXPECT_EQ(r.record.events[0].number, 91);
  // With every commented-out setting switched on, every keyword is known.
  std::string all;
  for (const std::string& line : SplitConfigLines(loader)) {
    bool setting = line.size() > 1 && line[0] == ';' && std::isalpha(static_cast<uint8_t>(line[1]));
    all += (setting ? line.substr(1) : line) + "\n";
  }
  r = ParseConfiguration(all, "Any", false, ConfigRecord(), env);
  EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
  EXPECT_EQ(r.record.map_link.size(), 2u);
  EXPECT_EQ(r.record.events.size(), 3u);
  EXPECT_EQ(r.acting.size(), 3u);  // ExecuteStart and two ExecuteAt
}

}  // namespace
}  // namespace netrove
