// Request texts to cache names and paths: no path may leave the cache
// directory or exceed its length bound, whatever the request.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "proxy/cache_name.h"

namespace {

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

// Every part between "/" of `rest` is a plain name.
bool PlainParts(const std::string& rest) {
  size_t start = 0;
  for (size_t slash; start <= rest.size(); start = slash + 1) {
    slash = rest.find('/', start);
    if (slash == std::string::npos) slash = rest.size();
    const std::string part = rest.substr(start, slash - start);
    if (part.empty() || part == "." || part == "..") return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string cache_dir = "/cache/";
  for (const std::string& request : {text, "GET http://" + text + " HTTP/1.0\r\n\r\n"}) {
    const netrove::CacheName name = netrove::CacheNameFromRequest(request);
    const bool marker = name.file_name == netrove::kNotCacheableName;
    Check(marker == (name.host_dir == netrove::kNotCacheableName));
    if (!marker) {
      Check(name.host_dir.find('/') == std::string::npos &&
            name.file_name.find('/') == std::string::npos);
      Check(name.host_dir.size() <= request.size() + 2 &&
            name.file_name.size() <= request.size() + 2);
    }
    for (bool ftp : {false, true}) {
      auto path = netrove::CachePathFor(cache_dir, name, ftp);
      if (!path) continue;
      Check(!marker && name.file_name[0] != '*');
      Check(path->size() <= netrove::kMaxCachePath && path->starts_with(cache_dir));
      Check(path->find('\0') == std::string::npos);
      const std::string rest = path->substr(cache_dir.size());
      Check(PlainParts(rest));
      // host/file, or FTP/host/file.
      Check(std::count(rest.begin(), rest.end(), '/') == (ftp ? 2 : 1));
      // Temporary entry files are named with "?"; no entry file name holds one.
      Check(rest.substr(rest.rfind('/') + 1).find_first_of("?|*:") == std::string::npos);
    }
  }
  return 0;
}
