// Parsing of what the direct relay and the front proxy read: the proxy
// request line with its absolute target, the request and response header
// lines they act on (pure functions over text, so that they can be
// fuzzed), and the bounded reader of a header block from a socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/socket.h"
#include "runtime/env.h"

namespace netrove {

// The most the relay reads of a header block, the request or status line
// and every line end included (so also the bound on one line).
inline constexpr size_t kMaxHeaderBlock = 65000;
// The longest host text (host, ":" and port) the relay connects to.
inline constexpr size_t kMaxHostText = 255;

enum class RelayMethod { kGet, kPost, kHead, kConnect };

struct RelayRequestLine {
  enum class Kind {
    kHttp,      // an http:// target (or CONNECT): host and origin_line are set
    kFtp,       // an ftp:// target: url is set
    kRefused,   // unknown method or scheme, or a host text that is empty or too long
    kNotHttp1,  // no " HTTP/1" in the line
  };
  Kind kind = Kind::kRefused;
  RelayMethod method = RelayMethod::kGet;
  std::string host;         // host text, with ":" and port when given
  std::string origin_line;  // method, path and version for the origin (not for CONNECT)
  std::string url;          // ftp:// URL up to the first space
};

// Parses one request line as a proxy client sends it: "GET http://host/path
// HTTP/1.0", "CONNECT host:443 HTTP/1.1", "GET ftp://host/file HTTP/1.0".
RelayRequestLine ParseRelayRequestLine(std::string_view line);

// A decimal length of 0..2147483647, blanks around it allowed; nullopt for
// anything else (a sign, other characters, a larger value).
std::optional<int32_t> ParseContentLength(std::string_view text);

// The value of a header line when its name is `name` (compared without
// case), blanks around the value removed; nullopt for other lines.
std::optional<std::string_view> HeaderValue(std::string_view line, std::string_view name);

struct ResponseHeadFacts {
  bool connection_close = false;
  bool chunked = false;
  bool has_length = false;
  bool bad_length = false;  // a Content-Length that is not a plain number
  int32_t length = 0;
};

// Folds one response header line into what the relay needs to know of it.
void NoteResponseHeader(std::string_view line, ResponseHeadFacts& facts);

// Whether a response with this status line carries no body whatever its
// headers say (304 and 204).
bool StatusHasNoBody(std::string_view status_line);
// A redirect (302): no body is awaited unless its headers frame one.
bool StatusIsRedirect(std::string_view status_line);

// Reads the lines of one header block (request or response) against a
// bound on its size and a deadline for the whole block, so that a peer
// that trickles its header cannot hold the task longer than the deadline
// and one receive time-out. Lines come without their end; CR and NUL bytes
// are dropped as ReadLine drops them.
class HeadReader {
 public:
  HeadReader(SocketVar& socket, Env& env, int64_t limit_ms, size_t max_bytes = kMaxHeaderBlock)
      : socket_(socket),
        env_(env),
        deadline_(env.MonotonicMs() + limit_ms),
        max_bytes_(max_bytes) {}
  // False when the socket ended, the block ran over its bound or the
  // deadline passed (the line holds what came before).
  bool Next(std::string& line) {
    line.clear();
    for (char c; env_.MonotonicMs() <= deadline_ && ReadBuffered(socket_, &c, 1) == 1;) {
      if (++size_ > max_bytes_) return false;
      if (c == '\n') return true;
      if (c != '\r' && c != '\0') line.push_back(c);
    }
    return false;
  }

 private:
  SocketVar& socket_;
  Env& env_;
  const int64_t deadline_;
  const size_t max_bytes_;
  size_t size_ = 0;
};

}  // namespace netrove
