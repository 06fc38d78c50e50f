// The default netrove.dat, the keyword table against docs/configuration.md,
// and the configuration store's load (publishing, acting, file faults).
#include "config/defaults.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "config/config.h"
#include "config/keywords.h"
#include "config/syntax.h"
#include "lib/test_context.h"
#include "runtime/clock.h"

namespace netrove {
namespace {

using Lines = std::vector<std::string>;
using Strings = Lines;

// The template's lines, the closing rule cut off.
Lines Content(const std::string& prefix, bool with_comments) {
  std::string out;
  WriteDefaultContent(out, prefix, with_comments);
  Lines lines = SplitConfigLines(out);
  return Lines(lines.begin(), lines.end() - 3);
}

// The template is the new file's body; ADD appends it with ";" in front of
// the setting lines and without comments, which leaves lines 31-41.
TEST(DefaultContent, TheTemplateAndWhatAddKeeps) {
  Lines full = Content("", true);
  ASSERT_EQ(full.size(), static_cast<size_t>(kDefaultTemplateLines));
  EXPECT_EQ(Content(";", false), Lines(full.begin() + 30, full.begin() + 41));
}

// The new file sets its active lines and warns of nothing; with every
// commented-out setting switched on, every keyword is still known.
TEST(DefaultContent, NewFileReadsWithoutWarnings) {
  std::string text = DefaultFileText(false), all;
  ParseResult r = ParseConfiguration(text, "Any", false, ConfigRecord(), ParseEnvironment());
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_EQ(std::make_tuple(r.record.dial_prefix, r.record.wait_time, r.record.netrove_port),
            std::make_tuple(std::string("p"), 5, 880));
  EXPECT_EQ(r.record.events, (std::vector<EventRule>{{91, 0, 3, EventAction::kExit, ""}}));
  for (std::string line : SplitConfigLines(text)) {
    if (line.size() > 1 && line[0] == ';' && std::isalpha(uint8_t(line[1]))) line.erase(0, 1);
    all += line + "\n";
  }
  r = ParseConfiguration(all, "Any", false, ConfigRecord(), ParseEnvironment());
  EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
  EXPECT_EQ(r.record.map_link.size(), 2u);
  EXPECT_EQ(r.record.events.size(), 3u);
  EXPECT_EQ(r.acting.size(), 3u);  // ExecuteStart and two ExecuteAt
}

// Each "| `KEYWORD` |" row of "## Keyword reference": the type, the default
// (the first `...` of the third cell, none for "—") and the reload rule.
TEST(KeywordReference, DocumentsEachKeywordOnceAsTheReaderKnowsIt) {
  std::ifstream in(std::string(NETROVE_SOURCE_DIR) + "/docs/configuration.md");
  ASSERT_TRUE(in.good()) << "docs/configuration.md not found";
  std::multimap<std::string, Lines> rows;
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("## ")) inside = line == "## Keyword reference";
    if (!inside || !line.starts_with("| `")) continue;
    Lines cells;  // without their padding; "\|" does not split
    for (size_t start = 1, i = 1; i < line.size(); ++i)
      if (line[i] == '|' && line[i - 1] != '\\') {
        cells.push_back(line.substr(start + 1, i - start - 2));
        start = i + 1;
      }
    rows.emplace(cells[0].substr(1, cells[0].find('`', 1) - 1), cells);
  }
  static const char* const kTypeWords[] = {"text",          "entry name",    "number 0-65535",
                                           "signed number", "yes/no",        "list",
                                           "mapping list",  "rule list",     "time",
                                           "command",       "timed command", "flag and command"};
  static_assert(std::size(kTypeWords) == static_cast<size_t>(ValueType::kFlagPair) + 1);
  for (const KeywordRow& k : KeywordTable()) {
    std::string name(k.name);
    ASSERT_EQ(rows.count(name), 1u) << name << " must have exactly one reference row";
    const Lines& cells = rows.find(name)->second;
    ASSERT_EQ(cells.size(), 5u) << name;
    EXPECT_TRUE(cells[1].starts_with(kTypeWords[static_cast<size_t>(k.type)])) << name;
    std::string cell = cells[2] + "``";  // without a quoted default: ""
    size_t open = cell.find('`');
    EXPECT_EQ(cell.substr(open + 1, cell.find('`', open + 1) - open - 1), k.default_value)
        << name << ": " << cells[2];
    EXPECT_EQ(cells[3], k.reset == ResetRule::kKeep ? "kept" : "reset") << name;
  }
  for (const auto& [name, cells] : rows)
    EXPECT_NE(FindKeyword(name), nullptr) << name << " is documented but not read";
}

const std::string kFile = "/home/office/netrove.dat";

class LoadTest : public ::testing::Test, public ConfigActions {
 protected:
  void SetUp() override { setenv("NETROVE_HOME", "/home/office", 1); }
  void TearDown() override { unsetenv("NETROVE_HOME"); }
  void Reset() override { calls_.push_back("reset"); }
  void Published(const ConfigRecord& r) override { calls_.push_back("published " + r.log_file); }
  void ExecuteStart(const std::string& c) override { calls_.push_back("start " + c); }
  void ExecuteAt(const std::string& t, const std::string& c) override {
    calls_.push_back("at " + t + " " + c);
  }
  std::optional<std::string> Load(const std::string& connection, bool collect = false) {
    ParseEnvironment parse;
    parse.now = NowSeconds(env_);
    return store_.Load(faults_, context_.log, context_.shared, *this, parse, connection, collect);
  }
  testing::FakeEnv env_;
  testing::FaultEnv faults_{env_};
  testing::TestContext context_{&faults_};
  ConfigStore store_;
  Strings calls_;
};

TEST_F(LoadTest, PublishesTheRecordWholeAndActsInFileOrder) {
  env_.PutFile(kFile,
               "ConnectFlag c.flg\r\nwhat 1\r\nExecuteStart global.exe\r\n[Provider]\r\n"
               "DefLoad No\r\nLogFile netrove.log\r\nBreak 30\r\nExecuteStart one.exe\r\n"
               "ExecuteAt 12:00 icq.exe\r\nExecuteStart two.exe\r\n");
  context_.shared.link_mode = kLinkOnline;
  context_.shared.control_request = kRequestStop;
  auto before = store_.Current();
  ASSERT_EQ(Load("Provider"), std::nullopt);
  auto c = store_.Current();
  EXPECT_NE(c, before);
  EXPECT_EQ(c->break_time, NowSeconds(env_) + 1800);
  EXPECT_EQ(c->connect_flag, "c.flg");  // kept by the section's reset
  // The section's reading only (DefLoad No), after the reset and the record.
  EXPECT_EQ(calls_, (Strings{"reset", "published netrove.log", "start one.exe", "at 12:00 icq.exe",
                             "start two.exe"}));
  EXPECT_TRUE(store_.Warnings().empty());  // the global part's warning went with the reset
  EXPECT_EQ(
      std::make_tuple(context_.shared.link_mode.load(), context_.shared.control_request.load(),
                      context_.shared.status_text.Get()),
      std::make_tuple(kLinkIdle, kRequestNone, std::string("00:00:00")));
  // Collect mode runs nothing; a reload keeps what survives a reset.
  calls_.clear();
  env_.PutFile(kFile, "what 1\n[Provider]\nExecuteStart one.exe\n");
  ASSERT_EQ(Load("Provider", true), std::nullopt);
  EXPECT_EQ(calls_, (Strings{"reset", "published "}));
  EXPECT_EQ(store_.Current()->collected_execute_start, Strings{"one.exe"});
  EXPECT_EQ(store_.Current()->connect_flag, "c.flg");
  EXPECT_EQ(store_.Warnings(), Strings{"Warning: Unknown command WHAT. (netrove.dat, line 1)"});
}

// A missing file is created with the default content, mode 0600; one that
// cannot be written fully is fatal and leaves nothing behind.
TEST_F(LoadTest, AFileThatCannotBeCreatedIsFatalAndNothingIsHalfWritten) {
  for (int fault = 0; fault < 2; ++fault) {
    faults_.SetDiskFull(fault == 0);
    if (fault == 1) faults_.FailWriteNumber(0);
    EXPECT_EQ(Load("Any"), "Can't create Netrove.dat file.");
    EXPECT_TRUE(env_.Paths().empty());
  }
  faults_.SetDiskFull(false);
  EXPECT_NE(Load("Any"), std::nullopt);  // not found, but the file is made
  EXPECT_EQ(env_.Stat(kFile)->mode, 0600u);
  EXPECT_EQ(env_.FileText(kFile), DefaultFileText(false));
  EXPECT_EQ(calls_, Strings(3, "reset")) << "nothing is published on a fatal problem";
}

}  // namespace
}  // namespace netrove
