// docs/configuration.md against the reader's keyword table: every row of the
// "## Keyword reference" section whose first cell is `KEYWORD` documents one
// keyword with its type, its default (the first `...` of the third cell, none
// for "—") and its reload rule ("reset" or "kept").
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "config/keywords.h"

namespace netrove {
namespace {

// The cells of a table row "| a | b |" without their padding; "\|" does
// not split.
std::vector<std::string> Cells(const std::string& line) {
  std::vector<std::string> cells;
  for (size_t start = 1, i = 1; i < line.size(); ++i) {
    if (line[i] != '|' || line[i - 1] == '\\') continue;
    cells.push_back(line.substr(start + 1, i - start - 2));
    start = i + 1;
  }
  return cells;
}

std::multimap<std::string, std::vector<std::string>> ReferenceRows() {
  std::ifstream in(std::string(NETROVE_SOURCE_DIR) + "/docs/configuration.md");
  EXPECT_TRUE(in.good()) << "docs/configuration.md not found";
  std::multimap<std::string, std::vector<std::string>> rows;
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("## ")) inside = line == "## Keyword reference";
    std::vector<std::string> cells = Cells(line);
    if (!inside || !line.starts_with("| `") || cells.empty()) continue;
    std::string keyword = cells[0].substr(1, cells[0].find('`', 1) - 1);
    rows.emplace(keyword, cells);
  }
  return rows;
}

std::string FirstQuoted(const std::string& cell) {
  size_t open = cell.find('`');
  if (open == std::string::npos) return "";
  return cell.substr(open + 1, cell.find('`', open + 1) - open - 1);
}

// What the Value cell of a row begins with, by the keyword's type.
std::string TypeWord(ValueType type) {
  static const char* const kWords[] = {"text",          "entry name",    "number 0-65535",
                                       "signed number", "yes/no",        "list",
                                       "mapping list",  "rule list",     "time",
                                       "command",       "timed command", "flag and command"};
  static_assert(std::size(kWords) == static_cast<size_t>(ValueType::kFlagPair) + 1);
  return kWords[static_cast<size_t>(type)];
}

TEST(KeywordReference, DocumentsEachKeywordOnceAsTheReaderKnowsIt) {
  std::multimap<std::string, std::vector<std::string>> rows = ReferenceRows();
  for (const KeywordRow& k : KeywordTable()) {
    std::string name(k.name);
    ASSERT_EQ(rows.count(name), 1u) << name << " must have exactly one reference row";
    const std::vector<std::string>& cells = rows.find(name)->second;
    ASSERT_EQ(cells.size(), 5u) << name;
    EXPECT_TRUE(cells[1].starts_with(TypeWord(k.type))) << name << ": " << cells[1];
    EXPECT_EQ(FirstQuoted(cells[2]), k.default_value) << name << ": " << cells[2];
    EXPECT_EQ(cells[3], k.reset == ResetRule::kKeep ? "kept" : "reset") << name;
  }
  for (const auto& [name, cells] : rows)
    EXPECT_NE(FindKeyword(name), nullptr) << name << " is documented but not read";
}

}  // namespace
}  // namespace netrove
