// The reader core: netrove.dat text in, a finished record out.
#include <algorithm>
#include <limits>

#include "config/config.h"
#include "config/keywords.h"
#include "config/list_entries.h"
#include "config/scrambler.h"
#include "config/syntax.h"
#include "runtime/clock.h"
#include "runtime/text.h"

namespace netrove {

ConfigRecord ResetConfigRecord(const ConfigRecord& previous) {
  ConfigRecord record;
  for (const KeywordRow& row : KeywordTable()) {
    if (row.reset == ResetRule::kKeep) {
      CopyField(row, previous, record);
    } else {
      ApplyDefault(row, record);
    }
  }
  // The first ADDPHONE entry stands for PHONE or the entry's own number.
  record.add_phone.assign(1, "");
  return record;
}

namespace {

constexpr char kUnknownPrefix[] = "Warning: Unknown command ";

int32_t MinutesToSeconds(int32_t minutes) {
  if (minutes <= 0) return 0;  // 0 is "no limit"; a negative limit would end every call at once
  int64_t seconds = static_cast<int64_t>(minutes) * 60;
  return static_cast<int32_t>(std::min<int64_t>(seconds, std::numeric_limits<int32_t>::max()));
}

class Reader {
 public:
  Reader(const std::vector<std::string>& lines, const std::vector<size_t>& cut, bool collect,
         const ParseEnvironment& env, ParseResult& out)
      : lines_(lines), cut_(cut), collect_(collect), env_(env), out_(out) {}

  void Reset() {
    out_.record = ResetConfigRecord(out_.record);
    out_.warnings.clear();
    out_.acting.clear();
  }

  // Reads keyword lines from `from` up to the next "[" line.
  void ReadPart(size_t from) {
    for (size_t i = from; i < lines_.size(); ++i) {
      const std::string& line = lines_[i];
      if (line.empty() || line[0] == ';') continue;
      if (line[0] == '[') return;
      line_number_ = i + 1;
      if (std::find(cut_.begin(), cut_.end(), i) == cut_.end()) {
        Apply(line);
        continue;
      }
      out_.warnings.push_back("Warning: line " + std::to_string(line_number_) +
                              " cut at 255 characters (" + kConfigFileName + ").");
      auto [keyword, value] = SplitFirstWord(line);
      Apply(keyword + " " + DropCutListItem(value));
    }
  }

  // Index of the line after the header of `connection`, or npos.
  size_t FindSection(const std::string& connection) const {
    std::string header = "[" + UpperAscii(connection) + "]";
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (!lines_[i].empty() && lines_[i][0] == '[' && UpperAscii(lines_[i]) == header) {
        return i + 1;
      }
    }
    return std::string::npos;
  }

  std::string Resolve(const std::string& name) const {
    return env_.resolve_entry ? env_.resolve_entry(name) : name;
  }
  bool Exists(const std::string& name) const {
    return env_.entry_exists && env_.entry_exists(name);
  }

  bool section_set_no_def_load = false;
  bool in_section = false;

 private:
  // A warning about the line being read, with the file and line number.
  void Warn(const std::string& text) {
    out_.warnings.push_back(text + " (" + kConfigFileName + ", line " +
                            std::to_string(line_number_) + ")");
  }

  void Apply(const std::string& line) {
    auto [keyword, value] = SplitKeyword(line);
    const KeywordRow* row = FindKeyword(keyword);
    ConfigRecord& r = out_.record;
    if (row == nullptr) {
      Warn(kUnknownPrefix + keyword + ".");
      return;
    }
    if (row->name == "DEFLOAD" && in_section) section_set_no_def_load = !ReadYesNo(value);
    switch (row->type) {
      case ValueType::kEntryName:
        r.entry_name = Resolve(value);
        return;
      case ValueType::kMapLink:
        if (auto entry = ParseMapLinkEntry(value)) {
          (r.*std::get<std::vector<std::string> ConfigRecord::*>(row->field)).push_back(*entry);
        }
        return;
      case ValueType::kEventId:
        if (auto rule = ParseEventIdEntry(value)) {
          if (collect_) {
            r.collected_event_id.push_back(EventRuleText(*rule));
          } else {
            r.events.push_back(*rule);
          }
        }
        return;
      case ValueType::kTime:
        if (!value.empty() && !ValidTimeText(value)) {
          Warn("Warning: " + keyword + " time out of range: " + value + ".");
        } else if (collect_) {
          r.collected_break.push_back(value);
        } else if (!value.empty()) {
          uint32_t at = NextTimeOf(env_.now, value);
          if (r.break_time == 0 || at < r.break_time) r.break_time = at;
        }
        return;
      case ValueType::kCommand:
        if (value.empty()) return;
        if (collect_) {
          r.collected_execute_start.push_back(value);
        } else {
          out_.acting.push_back({ActingLine::Kind::kExecuteStart, "", value});
        }
        return;
      case ValueType::kTask:
      case ValueType::kFlagPair: {
        auto [first, command] = SplitFirstWord(value);
        if (command.empty()) return;
        bool task = row->type == ValueType::kTask;
        if (task && !ValidTimeText(first)) {
          Warn("Warning: " + keyword + " time out of range: " + first + ".");
          return;
        }
        if (collect_) {
          (task ? r.collected_execute_at : r.collected_execute_flag)
              .push_back(first + " " + command);
        } else if (task) {
          out_.acting.push_back({ActingLine::Kind::kExecuteAt, first, command});
        } else {
          r.execute_flag_files.push_back(first);
          r.execute_flag_commands.push_back(command);
        }
        return;
      }
      default:
        StoreValue(*row, value, r);
        return;
    }
  }

  const std::vector<std::string>& lines_;
  const std::vector<size_t>& cut_;  // indexes of lines cut at 255 characters
  size_t line_number_ = 0;          // of the line being read
  bool collect_;
  const ParseEnvironment& env_;
  ParseResult& out_;
};

}  // namespace

ParseResult ParseConfiguration(const std::string& text, const std::string& connection_name,
                               bool collect, const ConfigRecord& previous,
                               const ParseEnvironment& env) {
  ParseResult out;
  std::vector<size_t> cut;
  std::vector<std::string> lines = SplitConfigLines(text, &cut);
  for (std::string& line : lines) line = NormalizeLine(line);
  Reader reader(lines, cut, collect, env, out);
  ConfigRecord& r = out.record;

  // A fresh record.
  out.record = previous;
  reader.Reset();
  // A limit file name stands for its connection.
  std::string connection = connection_name;
  if (connection.size() >= 4 && EqualsNoCase(connection.substr(connection.size() - 4), ".LIM")) {
    connection.erase(connection.size() - 4);
  }
  // The global part.
  reader.ReadPart(0);
  // The connection's section; without one, the phonebook must know the name.
  size_t section = reader.FindSection(connection);
  if (section == std::string::npos) {
    r.entry_name = reader.Resolve(connection);
    if (!reader.Exists(r.entry_name)) {
      out.connection_not_found = true;
      return out;
    }
    out.log_lines.push_back("Connection not listed in local base");
    r.password_text.clear();
  } else {
    r.entry_name = reader.Resolve(connection);
    r.section_found = true;
    reader.in_section = true;
    reader.ReadPart(section);
    if (reader.section_set_no_def_load) {
      reader.Reset();
      r.entry_name = reader.Resolve(connection);
      r.section_found = true;
      reader.ReadPart(section);
    }
  }
  // The password.
  r.password = DecodePasswordWithKey(r.password_text, r.entry_name, r.user, env.volume_key);
  // The phonebook's own credentials.
  if (r.password.empty() && r.user.empty() && reader.Exists(r.entry_name)) {
    out.log_lines.push_back("Loading default UserName/Password");
    if (env.entry_defaults) {
      if (std::optional<EntryDefaults> d = env.entry_defaults(r.entry_name)) {
        r.user = d->user.substr(0, kMaxConfigLine);
        r.password = d->password.substr(0, kMaxConfigLine);
        r.domain = d->domain.substr(0, kMaxConfigLine);
        if (r.phone.empty()) r.phone = d->phone.substr(0, kMaxConfigLine);
      }
    }
  }
  // Time limits: a longer period allows at least the shorter one; seconds.
  if (r.month_time_limit != 0 && r.month_time_limit < r.day_time_limit) {
    r.month_time_limit = r.day_time_limit;
  }
  if (r.week_time_limit != 0 && r.week_time_limit < r.day_time_limit) {
    r.week_time_limit = r.day_time_limit;
  }
  r.day_time_limit = MinutesToSeconds(r.day_time_limit);
  r.week_time_limit = MinutesToSeconds(r.week_time_limit);
  r.month_time_limit = MinutesToSeconds(r.month_time_limit);
  // The statistics file.
  std::string bare = BareName(connection);
  r.statistics_name = EqualsNoCase(bare, r.entry_name) ? r.entry_name : bare;
  return out;
}

}  // namespace netrove
