// The front proxy's handling of one client request, without sockets: the
// request line, the header lines as the caller reads them, and the head
// that goes upstream with the names the cache, the filters and the log use.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/cache_name.h"

namespace netrove {

// The most a request head (request line, header lines, every CR LF) may
// hold before the lines the proxy inserts; more ends the request.
inline constexpr size_t kMaxRequestHead = 65000;
// The credentials line kept from the client, and the filter's URL, are cut
// at this length.
inline constexpr size_t kMaxRequestField = 255;
// What replaces every client's User-Agent line.
inline constexpr std::string_view kProxyUserAgent =
    "User-Agent: Mozilla/4.0 (compatible; MSIE 4.01; Windows 95)";

enum class ProxyMethod { kGet, kPost, kHead, kConnect };

struct ProxyRequestLine {
  enum class Kind {
    kProxy,      // an absolute target (or CONNECT) to fetch upstream
    kLocalPage,  // GET, POST or HEAD without "://": the local page dispatch
    kClose,      // unknown method, no " HTTP/1", a line end inside: close, no reply
  };
  Kind kind = Kind::kClose;
  ProxyMethod method = ProxyMethod::kGet;
  std::string line;       // spaces collapsed and trimmed, no line end
  std::string target;     // as the client wrote it
  std::string log_text;   // method, space, target without "user:password@"
  bool no_store = false;  // POST, HEAD
  bool is_ftp = false;    // GET of an ftp:// URL
};

// Parses one request line as read from the client (without its line end).
ProxyRequestLine ParseProxyRequestLine(std::string_view line);

// The request head built from the header lines, fed one at a time as they
// are read from the client.
class ProxyHeadRewriter {
 public:
  enum class State {
    kMore,      // go on reading lines
    kComplete,  // the empty line came: the head is whole
    kEnded,     // oversized, or a line holding CR or LF: close, no reply
  };

  // Starts from a kProxy request line.
  explicit ProxyHeadRewriter(const ProxyRequestLine& line);

  // One header line without its line end; nothing changes once the state
  // is no longer kMore.
  State AddLine(std::string_view line);

  State state() const { return state_; }
  // The request line and the forwarded lines, each with CR LF.
  const std::string& text() const { return text_; }
  // The client's last "Proxy-Authorization:" line, cut at 255 characters.
  const std::string& credentials() const { return credentials_; }
  bool no_store() const { return no_store_; }
  bool is_private() const { return private_; }
  size_t request_line_size() const { return line_size_; }

 private:
  void Append(std::string_view line);

  State state_ = State::kMore;
  std::string text_;
  std::string credentials_;
  size_t line_size_ = 0;
  bool no_store_ = false;
  bool private_ = false;
};

struct ProxyRequest {
  std::string text;  // the head for upstream: request line, Host, [Proxy-Authorization], the rest
  std::string host;  // the Host value: host and port as in the target
  CacheName cache_name;
  // The file name as the files filter sees it ("?", "|", "*", ":" turned
  // into "!"), or kNotCacheableName.
  std::string file_name;
  // The entry's path below the cache directory, or kNotCacheableName.
  std::string cache_path;
  std::string url;  // for the URL filter: the target, cut at 255 characters
  std::string credentials;
  bool no_store = false;
  bool is_private = false;
  bool is_ftp = false;
  bool cacheable() const { return cache_path != kNotCacheableName; }
};

// Finishes a complete head: inserts "Host:" and, when `proxy_auth` is not
// empty (and holds no line end), "Proxy-Authorization:" after the request
// line, and names the cache entry below `cache_dir` (which ends with "/").
// Nullopt when the head is not complete or the request maps to an empty
// file name: the connection ends without a reply.
std::optional<ProxyRequest> FinishProxyRequest(const ProxyRequestLine& line,
                                               const ProxyHeadRewriter& head,
                                               std::string_view proxy_auth,
                                               std::string_view cache_dir);

}  // namespace netrove
