// Small file helpers shared by every module that reads or rewrites files.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace netrove {

// Writes `data` to a temporary file beside `path` and renames it over
// `path`, so a crash or a full disk never leaves half a file. The new file
// gets `mode`, or the mode of the file it replaces when `keep_mode` is set
// and the file exists. Returns false (and leaves `path` untouched) on any
// failure.
[[nodiscard]] bool WriteFileAtomically(const std::string& path, const std::string& data,
                                       mode_t mode = 0644, bool keep_mode = true);

// Whole file, or nothing when it cannot be read. `limit` bounds the size read.
std::optional<std::string> ReadWholeFile(const std::string& path, size_t limit = 64u << 20);

bool FileExists(const std::string& path);

}  // namespace netrove
