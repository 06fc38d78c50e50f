// Where the proxy cache keeps an object: the host directory and file name
// a request maps to, and the whole path of its entry below the cache
// directory ("ProxyCache/host/file", "ProxyCache/FTP/host/file").
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace netrove {

// The file name of requests that have no cache entry (POST, CONNECT,
// unknown methods).
inline constexpr std::string_view kNotCacheableName = "//?/";
// A cache path longer than this is not cacheable (cutting it would make
// two URLs share one file).
inline constexpr size_t kMaxCachePath = 255;

struct CacheName {
  std::string host_dir;
  std::string file_name;
  bool operator==(const CacheName&) const = default;
};

// The names of a request text (request line first). An empty file name
// means the request cannot be served; kNotCacheableName in both parts, or
// a file name starting with "*" (POST and CONNECT), means no entry.
// Every "/" of the target becomes "+", so neither part holds a "/" (only
// kNotCacheableName does).
CacheName CacheNameFromRequest(std::string_view request);

// The cache path of `name` below `cache_dir` (which ends with "/"), under
// "FTP/" for ftp:// objects, with "?", "|", "*" and ":" of the file name
// turned into "!". Nullopt when the request has no entry or the path would
// be unsafe: an empty, "." or ".." part, a NUL byte, or more than
// kMaxCachePath characters.
std::optional<std::string> CachePathFor(std::string_view cache_dir, const CacheName& name,
                                        bool is_ftp);

}  // namespace netrove
