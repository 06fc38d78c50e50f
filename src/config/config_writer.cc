#include "config/config_writer.h"

#include <algorithm>
#include <map>

#include "config/syntax.h"
#include "runtime/text.h"

namespace netrove {
namespace {

// The file as raw lines (without their LF), and whether it ended in one.
struct RawLines {
  std::vector<std::string> lines;
  bool final_newline = true;

  explicit RawLines(std::string_view text) {
    while (!text.empty()) {
      size_t end = text.find('\n');
      if (end == std::string_view::npos) {
        lines.emplace_back(text);
        final_newline = false;
        break;
      }
      lines.emplace_back(text.substr(0, end));
      text.remove_prefix(end + 1);
    }
  }

  std::string Join() const {
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
      out += lines[i];
      if (i + 1 < lines.size() || final_newline) out += '\n';
    }
    return out;
  }
};

// The line as the reader sees it: CR gone, blanks normalised.
std::string Normal(std::string_view raw) {
  if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  return NormalizeLine(raw);
}

bool IsHeader(std::string_view raw) {
  std::string line = Normal(raw);
  return !line.empty() && line[0] == '[';
}

// The upper-cased keyword of a keyword line; "" for blank, comment and
// header lines.
std::string KeywordOf(std::string_view raw) {
  std::string line = Normal(raw);
  if (line.empty() || line[0] == ';' || line[0] == '[') return std::string();
  return SplitKeyword(line).first;
}

// [begin, end) of the part: the global part, or the section after its
// header. Nullopt when the section is missing.
std::optional<std::pair<size_t, size_t>> FindPart(const std::vector<std::string>& lines,
                                                  std::string_view section) {
  size_t begin = 0;
  if (!section.empty()) {
    std::string header = "[" + UpperAscii(section) + "]";
    size_t i = 0;
    while (i < lines.size() && UpperAscii(Normal(lines[i])) != header) ++i;
    if (i == lines.size()) return std::nullopt;
    begin = i + 1;
  }
  size_t end = begin;
  while (end < lines.size() && !IsHeader(lines[end])) ++end;
  return std::make_pair(begin, end);
}

std::string Format(const ConfigLine& line) {
  return line.value.empty() ? line.keyword : line.keyword + " " + line.value;
}

}  // namespace

size_t CountSectionHeaders(std::string_view text) {
  return SectionNames(text, static_cast<size_t>(-1)).size();
}

std::vector<std::string> SectionNames(std::string_view text, size_t limit) {
  std::vector<std::string> names;
  for (const std::string& raw : RawLines(text).lines) {
    if (names.size() >= limit) break;
    if (raw.empty() || raw[0] != '[') continue;
    size_t close = raw.find(']');
    if (close == std::string::npos) continue;
    names.push_back(raw.substr(1, close - 1));
  }
  return names;
}

bool HasSection(std::string_view text, std::string_view name) {
  return FindPart(RawLines(text).lines, name).has_value();
}

std::optional<std::string> RewriteConfigPart(std::string_view text, std::string_view section,
                                             const std::vector<ConfigLine>& lines) {
  RawLines file(text);
  auto part = FindPart(file.lines, section);
  if (!part) return std::nullopt;
  auto [begin, end] = *part;

  // The new lines of each keyword, in order, and the keyword order.
  std::map<std::string, std::vector<const ConfigLine*>> wanted;
  std::vector<std::string> order;
  for (const ConfigLine& line : lines) {
    std::string key = UpperAscii(line.keyword);
    if (wanted.find(key) == wanted.end()) order.push_back(key);
    std::vector<const ConfigLine*>& list = wanted[key];
    if (!line.none) list.push_back(&line);
  }

  std::vector<std::string> out(file.lines.begin(), file.lines.begin() + begin);
  std::map<std::string, size_t> used;        // new lines placed, per keyword
  std::map<std::string, size_t> last_place;  // index in `out` after its last line
  for (size_t i = begin; i < end; ++i) {
    std::string key = KeywordOf(file.lines[i]);
    auto it = key.empty() ? wanted.end() : wanted.find(key);
    if (it == wanted.end()) {
      out.push_back(file.lines[i]);
      continue;
    }
    size_t& n = used[key];
    if (n < it->second.size()) {
      out.push_back(Format(*it->second[n]));
      ++n;
      last_place[key] = out.size();
    }
    // else: a surplus old line of the keyword goes.
  }
  // Surplus new lines go after the last old line of their keyword.
  std::vector<std::pair<size_t, std::vector<std::string>>> inserts;
  std::vector<std::string> appended;
  for (const std::string& key : order) {
    const auto& list = wanted[key];
    size_t n = used[key];
    auto place = last_place.find(key);
    std::vector<std::string> rest;
    for (size_t k = n; k < list.size(); ++k) {
      // A keyword the part lacks gets no line for an empty value.
      if (place == last_place.end() && list[k]->value.empty()) continue;
      rest.push_back(Format(*list[k]));
    }
    if (rest.empty()) continue;
    if (place == last_place.end()) {
      appended.insert(appended.end(), rest.begin(), rest.end());
    } else {
      inserts.emplace_back(place->second, std::move(rest));
    }
  }
  // Each keyword has places of its own; from the last place to the first,
  // an insertion never moves one still to come.
  std::sort(inserts.begin(), inserts.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto it = inserts.rbegin(); it != inserts.rend(); ++it) {
    out.insert(out.begin() + static_cast<ptrdiff_t>(it->first), it->second.begin(),
               it->second.end());
  }
  // New keywords go before the blank lines that end the part.
  size_t tail = out.size();
  while (tail > begin && Normal(out[tail - 1]).empty()) --tail;
  out.insert(out.begin() + static_cast<ptrdiff_t>(tail), appended.begin(), appended.end());
  out.insert(out.end(), file.lines.begin() + static_cast<ptrdiff_t>(end), file.lines.end());
  file.lines = std::move(out);
  if (!file.lines.empty()) file.final_newline = true;
  return file.Join();
}

std::optional<std::string> RemoveConfigSection(std::string_view text, std::string_view section,
                                               size_t* removed) {
  if (section.empty()) return std::nullopt;
  RawLines file(text);
  auto part = FindPart(file.lines, section);
  if (!part) return std::nullopt;
  auto [begin, end] = *part;
  if (removed != nullptr) *removed = end - begin + 1;
  file.lines.erase(file.lines.begin() + static_cast<ptrdiff_t>(begin - 1),
                   file.lines.begin() + static_cast<ptrdiff_t>(end));
  return file.Join();
}

std::string AppendConfigSection(std::string_view text, std::string_view section,
                                const std::vector<ConfigLine>& lines) {
  std::string out(text);
  if (!out.empty() && out.back() != '\n') out += '\n';
  if (!out.empty()) out += '\n';
  out += "[" + std::string(section) + "]\n";
  for (const ConfigLine& line : lines) {
    if (!line.none) out += Format(line) + "\n";
  }
  return out;
}

}  // namespace netrove
