// netrove-autodial ENTRY: the AutoDial handler for scripts and network
// hooks. Loads libnetrove.so (as the front-end finds it) and calls its AutoDial
// export for the entry: it returns at once when a connection is up or a
// start is under way, otherwise it starts "netrove ENTRY AUTODIAL" and
// returns when that has ended.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "library_path.h"
#include "netrove/netrove.h"

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
    std::printf("usage: netrove-autodial <connection>\n");
    return argc == 2 && std::string(argv[1]) == "--help" ? 0 : 99;
  }
  std::string lib = netrove_app::LibraryPath();
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
