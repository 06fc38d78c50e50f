// RevalidateEntry: asks the origin (through the proxy's upstream) whether
// a stored object is still current, by a HEAD request rebuilt from the
// stored request and the validator of the answer.
//
// Thread safety: may be called from any task; `net_bytes` is atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "net/socket.h"
#include "runtime/env.h"

namespace netrove {

// The stored request is read into a buffer of this size at most.
inline constexpr size_t kMaxStoredRequest = 60000;
// A HEAD answer's header block beyond this is not read on.
inline constexpr size_t kMaxRevalidationHeader = 65000;

// An upstream connection: the socket (closed when there is none) and the
// header lines (each with CR LF) a request must carry right after its
// request line on it: the direct relay's secret, nothing for another proxy.
struct Upstream {
  SocketVar socket;
  std::string extra_lines;
};
// Opens the upstream connection for a cache path (the request handling's
// OpenUpstream).
using UpstreamOpener = std::function<Upstream(const std::string& cache_path)>;

// `request` with `lines` inserted after its request line.
std::string WithLinesAfterRequestLine(std::string request, std::string_view lines);

// True when the entry at `path` is current. Not current: no complete
// entry, no validator (such entries are always fetched again), a stored
// request larger than kMaxStoredRequest or than the file, no upstream, an
// answer that ends or grows beyond kMaxRevalidationHeader before its empty
// line, or a 200 answer whose validator differs (the entry file is then
// deleted). Any other status answers current. The bytes read from upstream
// are added to `net_bytes` (ProxyNetBytes).
bool RevalidateEntry(Env& env, const std::string& path, const UpstreamOpener& open_upstream,
                     std::atomic<uint32_t>& net_bytes);

}  // namespace netrove
