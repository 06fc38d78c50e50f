// Calls the library's main entry the way a front-end does, with an interface
// number of the caller's choosing: call_entry <libnetrove.so> <number> [word [word]]
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netrove/netrove.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  void* lib = dlopen(argv[1], RTLD_NOW);
  if (lib == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 3;
  }
  auto entry = reinterpret_cast<netrove_main_fn>(dlsym(lib, NETROVE_MAIN_SYMBOL));
  if (entry == nullptr) return 4;
  unsigned char words[2][256] = {};
  for (int i = 0; i < 2 && i + 3 < argc; ++i) {
    size_t n = std::strlen(argv[i + 3]);
    if (n > 255) n = 255;
    words[i][0] = static_cast<unsigned char>(n);
    std::memcpy(words[i] + 1, argv[i + 3], n);
  }
  entry(words[0], words[1], static_cast<uint16_t>(std::atoi(argv[2])), 0);
  return 0;
}
