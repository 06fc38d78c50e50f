#include "net/address_list.h"

#include "net/address_match.h"
#include "runtime/clock.h"
#include "runtime/text.h"

namespace netrove {
namespace {

std::string Normalise(std::string line) {
  if (line.size() > 255) line.resize(255);
  for (char& c : line)
    if (c == '\t') c = ' ';
  std::string collapsed;
  for (char c : line)
    if (!(c == ' ' && !collapsed.empty() && collapsed.back() == ' ')) collapsed.push_back(c);
  size_t semicolon = collapsed.find(';');
  if (semicolon != std::string::npos) collapsed.erase(semicolon);
  size_t b = collapsed.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = collapsed.find_last_not_of(" \t");
  return collapsed.substr(b, e - b + 1);
}

}  // namespace

ParsedList ParseListText(const std::string& text, bool drop_marked) {
  ParsedList parsed;
  ForEachLine(text, [&](std::string_view raw) {
    std::string line = Normalise(std::string(raw));
    if (line.empty()) return;
    if (drop_marked && line[0] == '#') {
      parsed.had_marked = true;
      return;
    }
    parsed.entries.push_back(std::move(line));
  });
  return parsed;
}

std::shared_ptr<const AddressList::Contents> AddressList::Snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return contents_;
}

void AddressList::Replace(std::shared_ptr<const Contents> contents) {
  std::lock_guard<std::mutex> lock(mu_);
  contents_ = std::move(contents);
}

bool LoadAddressList(Env& env, Log& log, const std::string& file_name, AddressList& list,
                     bool drop_marked, bool address_patterns) {
  std::shared_ptr<const AddressList::Contents> old = list.Snapshot();
  uint32_t now = NowSeconds(env);
  bool same_file = old->readable && old->file_name == file_name;
  if (same_file && old->next_check >= now + kListCheckMargin) return true;
  FileStamp stamp = StampOf(env, file_name);
  if (same_file && stamp.present && stamp == old->stamp) {
    auto refreshed = std::make_shared<AddressList::Contents>(*old);
    refreshed->next_check = now + kListCheckAhead;
    list.Replace(std::move(refreshed));
    return true;
  }

  auto fresh = std::make_shared<AddressList::Contents>();
  fresh->file_name = file_name;
  std::optional<std::string> text = env.ReadFile(file_name, kListFileLimit);
  if (!text) {
    list.Replace(std::move(fresh));
    return false;
  }
  fresh->readable = true;
  fresh->stamp = stamp;
  fresh->next_check = now + kListCheckAhead;
  ParsedList parsed = ParseListText(*text, drop_marked);
  fresh->entries = std::move(parsed.entries);
  for (const std::string& entry : fresh->entries) {
    if (!address_patterns || !AddressPatternTooLong(entry)) continue;
    log.Write("Warning: " + file_name + ": \"" + entry +
              "\" has more than four address parts and admits nobody");
    break;  // one line per load
  }
  if (parsed.had_marked && text->size() < kListFileLimit) {
    std::string data;
    for (const std::string& entry : fresh->entries) data += entry + "\n";
    if (WriteFileAtomically(env, file_name, data, 0644, true)) {
      fresh->stamp = StampOf(env, file_name);
      fresh->next_check = 0;
    }
  }
  list.Replace(std::move(fresh));
  return true;
}

bool ReloadAddressList(Env& env, Log& log, AddressList& list) {
  std::string name = list.Snapshot()->file_name;
  if (name.empty()) return false;
  return LoadAddressList(env, log, name, list, false);
}

}  // namespace netrove
