// What may be stored in the shared cache and which stored entries may be
// used without asking the origin. The request handling decides with these.
#pragma once

#include <cstdint>
#include <string_view>

#include "proxy/cache_entry.h"

namespace netrove {

// Files this large or larger are always confirmed with the origin.
inline constexpr uint64_t kServeUncheckedBelow = 2024000;

// False for responses meant for one user only: a Set-Cookie header, or
// Cache-Control with "private" or "no-store" (names and values in any
// case). A shared cache never hands those to another client.
bool IsStorableResponse(std::string_view header_text);

// An entry is a candidate for use only with a validator: one stored
// without Last-Modified and Content-Length is always fetched again.
bool IsCacheCandidate(const CacheEntryHeader& header);

// A candidate served without any network round trip: html flag 0, file
// smaller than kServeUncheckedBelow, a file name with an extension that
// names no page or archive type ("htm", "css", "cab", "arj", "exe", "lha",
// "lzh", "ha", "pl", "rar", "zip"), and no "cgi" in the path.
bool ServableWithoutCheck(const CacheEntryHeader& header, uint64_t file_size,
                          std::string_view file_name, std::string_view cache_path);

}  // namespace netrove
