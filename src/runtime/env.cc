#include "runtime/env.h"

#include <unistd.h>

#include <atomic>

#include "runtime/tasks.h"

namespace netrove {

std::string UniqueTemporarySuffix() {
  static std::atomic<uint32_t> serial{0};
  return std::to_string(getpid()) + "." + std::to_string(serial.fetch_add(1));
}

bool WriteFileAtomically(Env& env, const std::string& path, std::string_view data, mode_t mode,
                         bool keep_mode) {
  if (keep_mode) {
    if (std::optional<FileInfo> old = env.Stat(path)) mode = old->mode;
  }
  std::string tmp = path + ".tmp" + UniqueTemporarySuffix();
  std::unique_ptr<WritableFile> file = env.OpenForWriting(tmp, Env::OpenMode::kTruncate, mode);
  if (!file) return false;
  // The umask must not widen nor narrow the mode asked for.
  bool ok = env.SetMode(tmp, mode) && file->Append(data) && file->Sync();
  ok = file->Close() && ok;
  ok = ok && env.Rename(tmp, path);
  if (!ok) (void)env.RemoveFile(tmp);
  return ok;
}

bool AppendToFile(Env& env, const std::string& path, std::string_view data, mode_t mode,
                  std::string_view first_if_created) {
  std::unique_ptr<WritableFile> file =
      env.OpenForWriting(path, Env::OpenMode::kAppendExisting, mode);
  bool ok = true;
  if (!file) {
    file = env.OpenForWriting(path, Env::OpenMode::kCreateOnly, mode);
    if (file) {
      ok = file->Append(first_if_created);
    } else {
      file = env.OpenForWriting(path, Env::OpenMode::kAppend, mode);  // a racing creator
      if (!file) return false;
    }
  }
  ok = ok && file->Append(data);
  return file->Close() && ok;
}

bool TouchFile(Env& env, const std::string& path, mode_t mode) {
  if (env.Stat(path)) return true;
  std::unique_ptr<WritableFile> file = env.OpenForWriting(path, Env::OpenMode::kAppend, mode);
  return file && file->Close();
}

bool FileExists(Env& env, const std::string& path) { return env.Stat(path).has_value(); }

bool ReadFully(ReadableFile& file, char* buffer, size_t n) {
  for (size_t got = 0; got < n;) {
    int64_t count = file.Read(buffer + got, n - got);
    if (count <= 0) return false;
    got += static_cast<size_t>(count);
  }
  return true;
}

std::optional<int> RunCommandLine(Env& env, const std::string& command_line,
                                  const EnvironmentList& extra_env, const std::string& output_path,
                                  int timeout_ms) {
  constexpr int kPollMs = 50;
  std::optional<std::vector<std::string>> words = SplitCommandLine(command_line);
  if (!words || words->empty()) return std::nullopt;
  std::unique_ptr<Process> child = env.Spawn(*words, extra_env, output_path);
  if (!child) return std::nullopt;
  const int64_t deadline = env.MonotonicMs() + timeout_ms;
  for (;;) {
    if (std::optional<int> status = child->Poll()) return status;
    if (env.MonotonicMs() >= deadline || !env.Sleep(kPollMs, CurrentStopToken())) break;
  }
  child->KillGroup(1000);
  return std::nullopt;
}

std::optional<std::vector<std::string>> SplitCommandLine(std::string_view line) {
  if (line.size() > 4096) return std::nullopt;
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else if (c == '\'') {
      size_t close = line.find('\'', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      word.append(line.substr(i + 1, close - i - 1));
      i = close;
      in_word = true;
    } else if (c == '"') {
      in_word = true;
      for (++i;; ++i) {
        if (i >= line.size()) return std::nullopt;
        if (line[i] == '"') break;
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        word += line[i];
      }
    } else if (c == '\\' && i + 1 < line.size()) {
      word += line[++i];
      in_word = true;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

}  // namespace netrove
