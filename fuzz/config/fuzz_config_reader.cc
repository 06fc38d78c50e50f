// Arbitrary bytes as netrove.dat: the reader must finish without fault and
// keep its bounds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/config.h"
#include "config/syntax.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace netrove;
  std::string text(reinterpret_cast<const char*>(data), size);
  ParseEnvironment env;
  env.resolve_entry = [](const std::string& n) { return EqualsNoCase(n, "isp") ? "ISP" : n; };
  env.entry_exists = [](const std::string& n) { return n == "ISP"; };
  env.entry_defaults = [](const std::string&) {
    return std::optional<EntryDefaults>(EntryDefaults{"u", "p", "d", "1"});
  };
  env.now = 1'000'000;
  env.volume_key = 0x12345678;
  for (bool collect : {false, true}) {
    ParseResult r = ParseConfiguration(text, "isp", collect, ConfigRecord(), env);
    if (r.record.execute_flag_files.size() != r.record.execute_flag_commands.size())
      __builtin_trap();
    if (r.record.add_phone.empty() && !r.connection_not_found) __builtin_trap();
    for (const std::string& w : r.warnings) {
      if (w.size() > 400) __builtin_trap();
    }
    if (r.record.user.size() > kMaxConfigLine) __builtin_trap();
    // A second load on top of the first (the reset path with kept values).
    ParseConfiguration(text, "other.lim", collect, r.record, env);
  }
  return 0;
}
