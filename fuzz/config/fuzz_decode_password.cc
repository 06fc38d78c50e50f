// Arbitrary PASSWORD values and names: decoding never faults, and a
// scrambled password always decodes back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/scrambler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace netrove;
  std::string in(reinterpret_cast<const char*>(data), size);
  size_t a = in.find('\n');
  size_t b = a == std::string::npos ? std::string::npos : in.find('\n', a + 1);
  std::string value = in.substr(0, a);
  std::string entry = a == std::string::npos ? "" : in.substr(a + 1, b - a - 1);
  std::string user = b == std::string::npos ? "" : in.substr(b + 1);
  std::string decoded = DecodePasswordWithKey(value, entry, user, 0xCAFEF00D);
  if (decoded.size() > value.size()) __builtin_trap();
  std::string password = value.substr(0, 255);
  std::string text = ScramblePasswordText(entry, user, password, 0xCAFEF00D);
  if (DecodePasswordWithKey("$" + text, entry, user, 0xCAFEF00D) != password) __builtin_trap();
  return 0;
}
