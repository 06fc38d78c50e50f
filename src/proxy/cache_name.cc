// Request text to cache names. The target keeps its query and path, with
// "/" flattened to "+", so one host directory holds every object of a host.
#include "proxy/cache_name.h"

#include <algorithm>

#include "runtime/text.h"

namespace netrove {
namespace {

void ReplaceAll(std::string& text, char from, char to) {
  std::replace(text.begin(), text.end(), from, to);
}

bool SafePart(std::string_view part) {
  return !part.empty() && part != "." && part != ".." && part.find('/') == std::string_view::npos &&
         part.find('\0') == std::string_view::npos;
}

}  // namespace

CacheName CacheNameFromRequest(std::string_view request) {
  // The method; the client may write it in any case.
  bool marked = false;
  std::string_view text = request;
  if (StartsWithNoCase(text, "GET ")) {
    text.remove_prefix(4);
  } else if (StartsWithNoCase(text, "HEAD ")) {
    text.remove_prefix(5);
  } else if (StartsWithNoCase(text, "POST ")) {
    text.remove_prefix(5);
    marked = true;
  } else if (StartsWithNoCase(text, "CONNECT ")) {
    text.remove_prefix(8);
    marked = true;
  } else {
    return {std::string(kNotCacheableName), std::string(kNotCacheableName)};
  }
  if (text.find('\n') == std::string_view::npos) return {};
  // The target ends at the space before the version (or the line's end).
  std::string target(text.substr(0, text.find_first_of(" \r\n")));

  ReplaceAll(target, '\\', '/');
  if (size_t slashes = target.find("//"); slashes != std::string::npos) {
    target.erase(0, slashes + 2);
  } else if (!marked) {
    return {};
  }
  if (target.find('%') != std::string::npos) target = UrlDecode(target);
  ReplaceAll(target, '+', ' ');
  ReplaceAll(target, '/', '+');
  target.erase(0, target.find_first_not_of(' '));

  CacheName name;
  size_t plus = target.find('+');
  name.host_dir = target.substr(0, plus);
  name.file_name = plus == std::string::npos ? std::string() : target.substr(plus + 1);
  // User information goes; the port stays, as "..." (":" is no file name character).
  if (size_t at = name.host_dir.find('@'); at != std::string::npos) name.host_dir.erase(0, at + 1);
  if (size_t colon = name.host_dir.find(':'); colon != std::string::npos)
    name.host_dir.replace(colon, 1, "...");
  if (name.file_name.empty()) name.file_name = "+";
  if (marked) name.file_name.insert(0, "*");
  return name;
}

std::optional<std::string> CachePathFor(std::string_view cache_dir, const CacheName& name,
                                        bool is_ftp) {
  if (name.file_name == kNotCacheableName || name.file_name.starts_with('*')) return std::nullopt;
  std::string file = name.file_name;
  for (char& c : file)
    if (c == '?' || c == '|' || c == '*' || c == ':') c = '!';
  if (!SafePart(name.host_dir) || !SafePart(file)) return std::nullopt;
  std::string path(cache_dir);
  if (is_ftp) path += "FTP/";
  path += name.host_dir + "/" + file;
  if (path.size() > kMaxCachePath) return std::nullopt;
  return path;
}

}  // namespace netrove
