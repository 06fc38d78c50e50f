// Identity of a file's contents as far as the file system tells: used to
// see whether a list or the hosts file changed since it was read. The mode
// is not part of it: a chmod changes no contents.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/env.h"

namespace netrove {

struct FileStamp {
  bool present = false;
  int64_t mtime_ns = 0;
  uint64_t size = 0;
  uint64_t inode = 0;
  bool operator==(const FileStamp&) const = default;
};

// The stamp of `path`; `present` is false when it cannot be read.
inline FileStamp StampOf(Env& env, const std::string& path) {
  FileStamp s;
  std::optional<FileInfo> info = env.Stat(path);
  if (!info) return s;
  s.present = true;
  s.mtime_ns = info->mtime_ns;
  s.size = info->size;
  s.inode = info->inode;
  return s;
}

}  // namespace netrove
