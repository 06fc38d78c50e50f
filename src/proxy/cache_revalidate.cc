#include "proxy/cache_revalidate.h"

#include <memory>
#include <optional>
#include <string>

#include "proxy/cache_codec.h"
#include "proxy/cache_entry.h"

namespace netrove {
namespace {

constexpr size_t kMaxLine = 65530;

// The stored request, unscrambled; nullopt when it cannot be read whole.
std::optional<std::string> ReadStoredRequest(OpenEntry& entry) {
  const uint32_t length = entry.header.request_length;
  if (length > kMaxStoredRequest || length > entry.size - kCacheEntryHeaderSize)
    return std::nullopt;
  std::string request(length, '\0');
  if (!ReadFully(*entry.file, request.data(), length)) return std::nullopt;
  UnscrambleBytes(request.data(), request.size());
  return request;
}

// The status line and header lines up to the empty line, each with CR LF;
// nullopt when the answer ends or overflows first. `read` counts the text.
std::optional<std::string> ReadAnswerHeader(SocketVar& upstream, size_t& read) {
  std::string text, line;
  while (text.size() <= kMaxRevalidationHeader) {
    const bool open = ReadLine(upstream, kMaxLine, line);
    read += line.size() + (open ? 2 : 0);
    if (!open) return std::nullopt;
    text += line + "\r\n";
    if (line.empty()) return text;
  }
  return std::nullopt;
}

}  // namespace

std::string WithLinesAfterRequestLine(std::string request, std::string_view lines) {
  if (lines.empty()) return request;
  const size_t end = request.find('\n');
  request.insert(end == std::string::npos ? request.size() : end + 1, lines);
  return request;
}

bool RevalidateEntry(Env& env, const std::string& path, const UpstreamOpener& open_upstream,
                     std::atomic<uint32_t>& net_bytes) {
  std::optional<std::string> request;
  uint32_t validator = 0;
  {
    std::optional<OpenEntry> entry = OpenCacheEntry(env, path);
    // Without a validator an answer cannot confirm the copy.
    if (!entry || entry->header.validator == 0) return false;
    validator = entry->header.validator;
    request = ReadStoredRequest(*entry);
  }
  if (!request) return false;
  const size_t space = request->find(' ');
  if (space == std::string::npos) return false;
  request->replace(0, space, "HEAD");

  Upstream opened = open_upstream(path);
  SocketVar& upstream = opened.socket;
  *request = WithLinesAfterRequestLine(std::move(*request), opened.extra_lines);
  if (!upstream.is_open() || !SendBuffer(upstream, request->data(), request->size())) return false;
  size_t read = 0;
  std::optional<std::string> answer = ReadAnswerHeader(upstream, read);
  CloseSocketVar(upstream);
  net_bytes += static_cast<uint32_t>(read);
  if (!answer) return false;
  if (answer->find(" 200 ") == std::string::npos) return true;
  if (ComputeValidator(*answer).value_or(0) == validator) return true;
  (void)env.RemoveFile(path);
  return false;
}

}  // namespace netrove
