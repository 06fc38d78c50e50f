#include "config/file_checks.h"

#include <sys/stat.h>

#include "config/config.h"
#include "runtime/program.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr size_t kMaxCheckedFile = 1u << 20;

// True when a file of "Keyword value" lines (any case) has a non-empty
// value for `keyword`.
bool HasValueFor(const std::string& text, const std::string& keyword) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(pos, end - pos), " \t\r");
    pos = end + 1;
    size_t blank = line.find_first_of(" \t");
    if (blank != std::string::npos && UpperAscii(line.substr(0, blank)) == keyword &&
        !Trim(line.substr(blank)).empty())
      return true;
  }
  return false;
}

}  // namespace

bool WarnIfPasswordsReadable(Env& env, Log& log, const std::string& phonebook_path) {
  bool warned = false;
  for (const std::string& path : {InProgramDirectory(kConfigFileName), phonebook_path}) {
    std::optional<FileInfo> info = env.Stat(path);
    if (!info || (info->mode & (S_IRGRP | S_IROTH)) == 0) continue;
    std::optional<std::string> text = env.ReadFile(path, kMaxCheckedFile);
    if (!text || !HasValueFor(*text, "PASSWORD")) continue;
    log.Write("Warning: " + path + " holds a password and can be read by other users (chmod 600 " +
              path + ")");
    warned = true;
  }
  return warned;
}

bool WarnIfConfigWritable(Env& env, Log& log) {
  std::string dir = ProgramDirectory();
  std::string path = InProgramDirectory(kConfigFileName);
  bool warned = false;
  std::optional<FileInfo> file = env.Stat(path);
  if (file && (file->mode & (S_IWGRP | S_IWOTH)) != 0) {
    log.Write("Warning: " + path + " can be written by other users, and it starts programs.");
    warned = true;
  }
  // A directory others may write lets them replace the file; the sticky
  // bit keeps them from replacing files they do not own.
  std::optional<FileInfo> folder = env.Stat(dir);
  if (folder && (folder->mode & (S_IWGRP | S_IWOTH)) != 0 && (folder->mode & S_ISVTX) == 0) {
    log.Write("Warning: directory " + dir + " can be written by other users, and " +
              kConfigFileName + " in it starts programs.");
    warned = true;
  }
  return warned;
}

}  // namespace netrove
