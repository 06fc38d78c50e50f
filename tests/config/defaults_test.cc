// The default content of netrove.dat.
#include "config/defaults.h"

#include <gtest/gtest.h>

#include "config/config.h"
#include "config/syntax.h"

namespace netrove {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    EXPECT_NE(end, std::string::npos) << "unterminated last line";
    if (end == std::string::npos) break;
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

const std::string kRule = ";" + std::string(62, '-');

TEST(DefaultContent, FullTemplate) {
  std::string out = "keep\n";
  WriteDefaultContent(out, "", true);
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 1u + kDefaultTemplateLines + 3);
  EXPECT_EQ(lines[0], "keep");                                       // appends
  auto line = [&](int n) { return lines[static_cast<size_t>(n)]; };  // 1-based template line
  EXPECT_EQ(line(1), "DialPrefix p");
  EXPECT_EQ(line(10), "CheckURL www.example.com");
  EXPECT_EQ(line(17), ";SMTP mail.example.com");
  EXPECT_EQ(line(18), ";POP3 mail.example.com");
  EXPECT_EQ(line(24), ";MapLink 80,www.example.com:80,show");
  EXPECT_EQ(line(25), ";MapLink 23,www.example.com:23,hide");
  EXPECT_EQ(line(31), "HideProxy Yes");
  EXPECT_EQ(line(41), "PortDog 139,1027,1019,1032,5000,5001,12345,12346,31337");
  EXPECT_EQ(line(46), ";");
  EXPECT_EQ(line(53), "BreakIfFound Yes");
  EXPECT_EQ(line(57), "WaitTime 5");
  EXPECT_EQ(line(65), "DialFlag dial.flg");
  EXPECT_EQ(line(67), ";ProxySize 3%      ; proxy size = 3% from disk_size");
  EXPECT_EQ(line(81), ";EventID 80 10 exec c:\\sound\\warning.wav");
  EXPECT_EQ(line(106), ";CostPerMinute Yes");
  EXPECT_EQ(line(107), "");
  EXPECT_EQ(line(108), kRule);
  EXPECT_EQ(line(109), "");
  EXPECT_EQ(out.find('\r'), std::string::npos);
}

TEST(DefaultContent, PrefixAndCommentSwitch) {
  // ADD's section: prefix ";" and no comments leaves lines 31 to 41.
  std::string out;
  WriteDefaultContent(out, ";", false);
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 11u + 3);
  EXPECT_EQ(lines.front(), "HideProxy Yes");
  EXPECT_EQ(lines[10], "PortDog 139,1027,1019,1032,5000,5001,12345,12346,31337");
  EXPECT_EQ(lines[12], kRule);
  // Another prefix goes in front of exactly the eleven setting lines (1, 10,
  // 53, 54, 57-59, 61, 63-65).
  out.clear();
  WriteDefaultContent(out, "#", true);
  lines = Lines(out);
  int prefixed = 0;
  for (const std::string& l : lines) prefixed += l.rfind('#', 0) == 0;
  EXPECT_EQ(prefixed, 11);
  EXPECT_EQ(lines[0], "#DialPrefix p");
  EXPECT_EQ(lines[63], "#ConnectFlag connect.flg");
  // Comments off without a prefix: the settings and lines 31-41.
  out.clear();
  WriteDefaultContent(out, "", false);
  EXPECT_EQ(Lines(out).size(), 11u + 11 + 3);
}

TEST(DefaultContent, NewFileHeaderAndEveryKeywordKnown) {
  std::string loader = DefaultFileText(false);
  std::string add = DefaultFileText(true);
  EXPECT_EQ(loader.rfind("; this default value\neventID 91 3 exit\nDialPrefix p\n", 0), 0u);
  EXPECT_EQ(
      add.rfind("; this default value\neventID 91 3 exit\neventID 630 3 exit\nDialPrefix p\n", 0),
      0u);
  // Read as it is, the new file sets the active lines and warns of nothing.
  ParseEnvironment env;
  ParseResult r = ParseConfiguration(loader, "Any", false, ConfigRecord(), env);
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_EQ(r.record.dial_prefix, "p");
  EXPECT_EQ(r.record.wait_time, 5);
  EXPECT_EQ(r.record.connect_flag, "connect.flg");
  EXPECT_EQ(r.record.netrove_port, 880);
  ASSERT_EQ(r.record.events.size(), 1u);
  EXPECT_EQ(r.record.events[0].number, 91);
  // With every commented-out setting switched on, every keyword is known.
  std::string all;
  for (const std::string& line : Lines(loader)) {
    bool setting = line.size() > 1 && line[0] == ';' && std::isalpha(static_cast<uint8_t>(line[1]));
    all += (setting ? line.substr(1) : line) + "\n";
  }
  r = ParseConfiguration(all, "Any", false, ConfigRecord(), env);
  EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
  EXPECT_EQ(r.record.map_link.size(), 2u);
  EXPECT_EQ(r.record.map_ulink.size(), 2u);
  EXPECT_EQ(r.record.events.size(), 3u);
  EXPECT_EQ(r.acting.size(), 3u);  // ExecuteStart and two ExecuteAt
}

}  // namespace
}  // namespace netrove
