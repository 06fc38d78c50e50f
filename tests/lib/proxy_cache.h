// Cache entries for the proxy cache tests: written through the real
// writer, or as raw bytes to test what readers make of damaged files.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "proxy/cache_codec.h"
#include "proxy/cache_entry.h"
#include "proxy/skip_urls.h"

namespace netrove::testing {

inline const std::string kStoredRequest =
    "GET http://server/img/logo.gif HTTP/1.0\r\nHost: server\r\nCookie: id=7\r\n\r\n";

inline std::string ResponseHeader(const std::string& last_modified, size_t length) {
  std::string text = "HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\n";
  if (!last_modified.empty()) text += "Last-Modified: " + last_modified + "\r\n";
  if (length > 0) text += "Content-Length: " + std::to_string(length) + "\r\n";
  return text + "\r\n";
}

// A complete entry at `path` with the validator of `header`; true when
// FinishCacheEntry completed it.
inline bool WriteEntry(Env& env, const std::string& path, const std::string& header,
                       const std::string& body, const std::string& request = kStoredRequest) {
  SkipUrlList skip;
  std::unique_ptr<CacheEntryWriter> entry =
      CreateCacheEntry(env, path, ComputeValidator(header).value_or(0), false, request, header);
  if (!entry || !entry->AppendBody(body)) return false;
  return FinishCacheEntry(std::move(entry), body.size(), false, false, skip);
}

// Everything after the entry header and the stored request.
inline std::string StoredResponse(Env& env, const std::string& path) {
  std::optional<OpenEntry> entry = OpenCacheEntry(env, path);
  if (!entry) return "<no entry>";
  std::string out(entry->size, '\0');
  size_t got = 0;
  for (int64_t n;
       got < out.size() && (n = entry->file->Read(out.data() + got, out.size() - got)) > 0;)
    got += static_cast<size_t>(n);
  out.resize(got);
  return got < entry->header.request_length ? "<short>" : out.substr(entry->header.request_length);
}

}  // namespace netrove::testing
