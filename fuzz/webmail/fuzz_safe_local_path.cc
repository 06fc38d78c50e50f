// Any bytes as a file name through SafeLocalPath: the result is stable,
// has no "." or ".." component, no leading "/", none of the removed bytes,
// and joined to a directory it stays below it. The same bytes cut into
// records go through DecodeFavourite.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "webmail/favourites.h"
#include "webmail/webmail_text.h"

namespace {

// "/base/" + `name` with "." and ".." taken out as a path walk would; a
// ".." that would climb above "/base" yields "".
std::string JoinBelowBase(const std::string& name) {
  std::vector<std::string> parts = {"base"};
  for (size_t start = 0; start <= name.size();) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    const std::string part = name.substr(start, end - start);
    if (part == "..") {
      if (parts.size() == 1) return "";
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string path;
  for (const std::string& part : parts) path += "/" + part;
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string safe = netrove::SafeLocalPath(text);
  if (netrove::SafeLocalPath(safe) != safe) __builtin_trap();
  if (!safe.empty()) {
    if (safe.front() == '/' || safe.front() == ' ' || safe.back() == ' ') __builtin_trap();
    for (char c : safe)
      if (static_cast<unsigned char>(c) < 32 || c == 127 || c == ':' || c == '$' || c == '&' ||
          c == '\\')
        __builtin_trap();
    const std::string wrapped = "/" + safe + "/";
    if (wrapped.find("/./") != std::string::npos || wrapped.find("/../") != std::string::npos)
      __builtin_trap();
    if (!JoinBelowBase(safe).starts_with("/base/")) __builtin_trap();
  }
  for (size_t at = 0; at < size; at += netrove::kFavouriteRecordSize) {
    const netrove::Favourite f = netrove::DecodeFavourite(text.substr(at));
    if (f.title.size() > netrove::kFavouriteFieldSize ||
        f.address.size() > netrove::kFavouriteFieldSize)
      __builtin_trap();
    if (netrove::DecodeFavourite(netrove::EncodeFavourite(f)) != f) __builtin_trap();
  }
  return 0;
}
