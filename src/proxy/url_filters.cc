// The proxy's object filters: url.bad and files.bad.
#include "proxy/url_filters.h"

#include "runtime/text.h"

namespace netrove {
namespace {

// Name and extension (with its ".") split at the last ".", upper-cased.
struct NameParts {
  std::string name;
  std::string extension;
};
NameParts SplitName(std::string_view text) {
  const size_t dot = text.rfind('.');
  if (dot == std::string_view::npos) return {UpperAscii(text), ""};
  return {UpperAscii(text.substr(0, dot)), UpperAscii(text.substr(dot))};
}

// Applies the "*" and "?" of `mask` to both texts: everything from a "*"
// on is cut from both; the character under each "?" is deleted from both.
void ApplyWildcards(std::string& mask, std::string& text) {
  if (size_t star = mask.find('*'); star != std::string::npos) {
    mask.erase(star);
    if (text.size() > star) text.erase(star);
  }
  for (size_t q; (q = mask.find('?')) != std::string::npos;) {
    mask.erase(q, 1);
    if (text.size() > q) text.erase(q, 1);
  }
}

bool MaskMatches(const NameParts& text, std::string_view mask) {
  NameParts m = SplitName(Trim(mask));
  NameParts t = text;
  ApplyWildcards(m.name, t.name);
  ApplyWildcards(m.extension, t.extension);
  return m.name == t.name && m.extension == t.extension;
}

}  // namespace

std::vector<std::string> ParseFilterText(std::string_view text, bool cut) {
  if (cut) {
    const size_t last_end = text.rfind('\n');
    text = last_end == std::string_view::npos ? std::string_view() : text.substr(0, last_end + 1);
  }
  std::vector<std::string> entries;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // the line end, not content
    line = line.substr(0, kFilterLineLimit);
    if (line.empty() || line.front() == ';') continue;
    entries.emplace_back(line);
  }
  return entries;
}

bool UrlIsBlocked(const std::vector<std::string>& entries, std::string_view url) {
  url = url.substr(0, kFilterLineLimit);
  if (url.empty()) return false;
  for (std::string_view entry : entries) {
    const bool exception = entry.starts_with('!');
    if (exception) entry.remove_prefix(1);
    const bool matches = entry.starts_with('+')
                             ? url.find(entry.substr(1)) != std::string_view::npos
                             : url.starts_with(entry);
    if (matches) return !exception;
  }
  return false;
}

std::string FileCompareText(std::string_view file_name) {
  const size_t slash = file_name.find_last_of("/\\");
  if (slash != std::string_view::npos) file_name.remove_prefix(slash + 1);
  const size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos) return std::string(file_name) + ".";
  return std::string(file_name.substr(0, dot + 1)) + LowerAscii(file_name.substr(dot + 1));
}

bool FileMasksMatch(std::string_view compare_text, std::string_view masks) {
  const NameParts text = SplitName(compare_text);
  const std::string list = Trim(masks);
  for (size_t start = 0; start <= list.size();) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    if (MaskMatches(text, std::string_view(list).substr(start, comma - start))) return true;
    start = comma + 1;
  }
  return false;
}

bool FileIsBlocked(const std::vector<std::string>& lines, std::string_view file_name) {
  if (file_name.empty()) return false;
  const std::string text = FileCompareText(file_name);
  for (const std::string& line : lines)
    if (FileMasksMatch(text, line)) return true;
  return false;
}

ProxyFilters::ProxyFilters(Env& env, ProxyReplies& replies)
    : env_(env), replies_(replies), lists_(std::make_shared<const Lists>()) {}

std::shared_ptr<const ProxyFilters::Lists> ProxyFilters::Snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lists_;
}

void ProxyFilters::LoadBadLists() {
  auto lists = std::make_shared<Lists>();
  auto read = [&](const char* name) {
    std::optional<std::string> text = env_.ReadFile(name, kFilterFileLimit);
    if (!text) return std::vector<std::string>();
    return ParseFilterText(*text, text->size() >= kFilterFileLimit);
  };
  lists->url_bad = read(kUrlBadFile);
  lists->files_bad = read(kFilesBadFile);
  std::lock_guard<std::mutex> lock(mu_);
  lists_ = std::move(lists);
}

bool ProxyFilters::UrlBadCheck(std::string_view url, SocketVar& client) {
  if (!UrlIsBlocked(Snapshot()->url_bad, url)) return false;
  replies_.SendSkippedUrl(client);
  return true;
}

bool ProxyFilters::FilesBadCheck(std::string_view file_name, SocketVar& client) {
  if (!FileIsBlocked(Snapshot()->files_bad, file_name)) return false;
  replies_.SendErrorPage(client, kFileNotFoundMessage);
  return true;
}

}  // namespace netrove
