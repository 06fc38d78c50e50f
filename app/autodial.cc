// netrove-autodial ENTRY: the AutoDial handler for scripts and network
// hooks. Loads libnetrove.so from its own directory and calls its AutoDial
// export for the entry: it returns at once when a connection is up or a
// start is under way, otherwise it starts "netrove ENTRY AUTODIAL" and
// returns when that has ended.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "netrove/netrove.h"

namespace {

std::string OwnDirectory() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
    std::printf("usage: netrove-autodial <connection>\n");
    return argc == 2 && std::string(argv[1]) == "--help" ? 0 : 99;
  }
  std::string lib = OwnDirectory() + "/libnetrove.so";
  void* handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::printf("Error: can't load %s: %s\n", lib.c_str(), dlerror());
    return 99;
  }
  auto autodial = reinterpret_cast<netrove_autodial_fn>(dlsym(handle, NETROVE_AUTODIAL_SYMBOL));
  if (autodial == nullptr) {
    std::printf("Error: %s lacks %s\n", lib.c_str(), NETROVE_AUTODIAL_SYMBOL);
    return 99;
  }
  uint32_t result = 0;
  uint8_t ok = autodial(nullptr, argv[1], 0, &result);
  std::fflush(nullptr);
  _exit(ok != 0 && result == 0 ? 0 : 1);
}
