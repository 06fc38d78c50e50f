// Proxy cache entries for tests, written and read through the real code.
#pragma once

#include <memory>
#include <string>

#include "proxy/cache_codec.h"
#include "proxy/cache_entry.h"
#include "proxy/skip_urls.h"

namespace netrove::testing {

inline const std::string kStoredRequest =
    "GET http://server/img/logo.gif HTTP/1.0\r\nHost: server\r\nCookie: id=7\r\n\r\n";

// A 200 header with the lines that are given.
inline std::string ResponseHeader(const std::string& last_modified, size_t length) {
  return "HTTP/1.0 200 OK\r\n" +
         (last_modified.empty() ? "" : "Last-Modified: " + last_modified + "\r\n") +
         (length ? "Content-Length: " + std::to_string(length) + "\r\n" : "") + "\r\n";
}

// A complete entry with the validator of `header`; false on any failure.
inline bool WriteEntry(Env& env, const std::string& path, const std::string& header,
                       const std::string& body, const std::string& request = kStoredRequest) {
  SkipUrlList skip;
  auto entry =
      CreateCacheEntry(env, path, ComputeValidator(header).value_or(0), false, request, header);
  return entry && entry->AppendBody(body) &&
         FinishCacheEntry(std::move(entry), body.size(), false, false, skip);
}

// What follows the stored request: the response header and the body.
inline std::string StoredResponse(Env& env, const std::string& path) {
  std::optional<OpenEntry> entry = OpenCacheEntry(env, path);
  std::string out(entry ? entry->size : 0, '\0');
  size_t got = 0;
  for (int64_t n;
       got < out.size() && (n = entry->file->Read(out.data() + got, out.size() - got)) > 0;)
    got += static_cast<size_t>(n);
  return entry ? out.substr(0, got).substr(std::min<size_t>(got, entry->header.request_length))
               : "<none>";
}

}  // namespace netrove::testing
