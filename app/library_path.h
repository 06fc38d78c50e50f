// Where the front-ends find libnetrove.so: beside the executable (the build
// tree), else at NETROVE_INSTALLED_LIBRARY_DIR relative to it (an
// installation keeps the library in lib/netrove).
#pragma once

#include <unistd.h>

#include <string>

namespace netrove_app {

inline std::string OwnDirectory() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

inline std::string LibraryPath() {
  std::string dir = OwnDirectory();
  std::string beside = dir + "/libnetrove.so";
  if (access(beside.c_str(), F_OK) == 0) return beside;
  return dir + "/" NETROVE_INSTALLED_LIBRARY_DIR "/libnetrove.so";
}

}  // namespace netrove_app
