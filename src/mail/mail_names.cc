#include "mail/mail_names.h"

#include "runtime/clock.h"
#include "runtime/text.h"

namespace netrove {

namespace {

constexpr size_t kListLimit = 1 << 18;

std::string RemoveBytes(std::string_view name, std::string_view drop) {
  std::string out;
  for (char c : name)
    if (static_cast<unsigned char>(c) >= 32 && drop.find(c) == std::string_view::npos)
      out.push_back(c);
  return out;
}

}  // namespace

std::optional<uint16_t> FileNumberOf(std::string_view name) {
  std::string_view digits = name.substr(0, name.find('.'));
  if (digits.empty() || digits.size() > 5 || digits[0] == '0') return std::nullopt;
  uint32_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  if (n > kMaxMessageNumber) return std::nullopt;
  return static_cast<uint16_t>(n);
}

bool HasExtension(std::string_view name, std::string_view extension) {
  return name.size() > extension.size() && name[name.size() - extension.size() - 1] == '.' &&
         EqualsNoCase(name.substr(name.size() - extension.size()), extension);
}

std::string MailboxComponent(std::string_view name) {
  std::string out = RemoveBytes(name, "/\\");
  if (out.find_first_not_of('.') == std::string::npos) return "";
  return out;
}

std::string FolderComponent(std::string_view name) { return RemoveBytes(name, "/\\. "); }

std::string JoinPath(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

std::string FindNoCase(Env& env, const std::string& dir, const std::string& name) {
  std::string exact = JoinPath(dir, name);
  if (env.Stat(exact)) return exact;
  for (const std::string& entry : env.ListDirectory(dir.empty() ? "." : dir, kListLimit))
    if (EqualsNoCase(entry, name)) return JoinPath(dir, entry);
  return exact;
}

uint32_t PackDosDateTime(int64_t local_seconds) {
  constexpr int64_t k1980 = 315532800;
  if (local_seconds < k1980) local_seconds = k1980;
  LocalDateTime t = BreakDownLocal(local_seconds);
  if (t.year > 1980 + 127) return 0xFF9FBF7D;  // 2107-12-31 23:59:58
  uint32_t date = static_cast<uint32_t>(((t.year - 1980) << 9) | (t.month << 5) | t.day);
  uint32_t time = static_cast<uint32_t>((t.hour << 11) | (t.minute << 5) | (t.second / 2));
  return date << 16 | time;
}

uint32_t DosTimeOfFile(Env& env, const FileInfo& info) {
  int64_t utc = info.mtime_ns / 1000000000;
  return PackDosDateTime(utc + env.LocalOffsetAt(utc));
}

}  // namespace netrove
