// Identity of a file's contents as far as the file system tells: used to
// see whether a list or the hosts file changed since it was read.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace netrove {

struct FileStamp {
  bool present = false;
  int64_t mtime_ns = 0;
  int64_t size = 0;
  uint64_t inode = 0;
  bool operator==(const FileStamp&) const = default;
};

// The stamp of `path`; `present` is false when it cannot be read.
inline FileStamp StampOf(const std::string& path) {
  struct stat st;
  FileStamp s;
  if (stat(path.c_str(), &st) != 0) return s;
  s.present = true;
  s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.size = st.st_size;
  s.inode = st.st_ino;
  return s;
}

}  // namespace netrove
