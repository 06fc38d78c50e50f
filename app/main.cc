// The front-end: loads libnetrove.so from its own directory (or, installed,
// from NETROVE_INSTALLED_LIBRARY_DIR relative to it), calls the main
// entry with the first two words of the command line, and starts itself
// again when the library asks for a restart.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "library_path.h"
#include "netrove/netrove.h"

namespace {

// A length-prefixed word: one length byte and at most 255 characters.
void ToPascal(const char* word, unsigned char (&out)[256]) {
  size_t len = word ? std::strlen(word) : 0;
  if (len > 255) len = 255;
  out[0] = static_cast<unsigned char>(len);
  if (len > 0) std::memcpy(out + 1, word, len);
}

}  // namespace

int main(int argc, char** argv) {
  std::string lib = netrove_app::LibraryPath();
  void* handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::printf("Error: can't load %s: %s\n", lib.c_str(), dlerror());
    return 99;
  }
  auto main_entry = reinterpret_cast<netrove_main_fn>(dlsym(handle, NETROVE_MAIN_SYMBOL));
  auto restart =
      reinterpret_cast<netrove_restart_requested_fn>(dlsym(handle, NETROVE_RESTART_SYMBOL));
  if (main_entry == nullptr || restart == nullptr) {
    std::printf("Error: %s lacks its entry points\n", lib.c_str());
    return 99;
  }

  unsigned char connection[256], argument[256];
  ToPascal(argc > 1 ? argv[1] : nullptr, connection);
  ToPascal(argc > 2 ? argv[2] : nullptr, argument);
  main_entry(connection, argument, NETROVE_INTERFACE_NUMBER, 0);

  if (restart() != 0) {
    // A fresh process loads the library afresh (an installed update).
    std::fflush(nullptr);
    char* args[4] = {argv[0], argc > 1 ? argv[1] : nullptr, argc > 2 ? argv[2] : nullptr, nullptr};
    execv("/proc/self/exe", args);
    std::perror("netrove: restart");
    return 99;
  }
  // A task that outlived the session's stop may still be running; ending
  // without static destructors keeps it from touching destroyed objects.
  std::fflush(nullptr);
  _exit(0);
}
