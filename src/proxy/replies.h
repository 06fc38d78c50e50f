// The answers the proxy makes up itself: fixed header and page texts, the
// page senders and the HTTP date. The web mail uses the same senders.
//
// Every sender closes the client socket when it is done; send failures are
// not reported (the socket is closed in any case).
//
// Thread safety: a ProxyReplies may be used from any task; each call
// touches only the socket it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/socket.h"
#include "runtime/env.h"

namespace netrove {

inline constexpr std::string_view kProductHomePage = "https://github.com/netrove/netrove#readme";

inline constexpr std::string_view kNotFoundHeader =
    "HTTP/1.0 404 Not found (D+)\r\nServer: Netrove\r\nConnection: close\r\n"
    "Proxy-Connection: close\r\nContent-Type: text/html\r\n";
// A complete reply: sent as it stands for a URL-filter hit.
inline constexpr std::string_view kSkippedHeader =
    "HTTP/1.0 404 Skipped URL\r\nContent-Length: 0\r\nConnection: close\r\n"
    "Proxy-Connection: close\r\nContent-Type: text/html\r\n\r\n";
inline constexpr std::string_view kAuthRequiredHeader =
    "HTTP/1.0 407 Proxy Access Denied\r\nServer: Netrove\r\nConnection: close\r\n"
    "Proxy-Connection: close\r\n"
    "Proxy-Authenticate: Basic realm=\"Netrove proxy user authentication\"\r\n";
// Without its line end: SendUnauthorized adds the realm and CR LF.
inline constexpr std::string_view kUnauthorizedHeader =
    "HTTP/1.0 401 Unauthorized\r\nServer: Netrove\r\nConnection: close\r\n"
    "Proxy-Connection: close\r\nWWW-Authenticate: Basic";
inline constexpr std::string_view kNotFoundPageHead =
    "<HTML><HEAD><TITLE>404 File Not Found</TITLE></HEAD><BODY>\r\n";
inline constexpr std::string_view kUnauthorizedPageHead =
    "<HTML><HEAD><TITLE>401 Unauthorized</TITLE></HEAD><BODY>\r\n"
    "<H1>Your username and/or password are invalid</H1>";

// Messages placed between the 404 page head and the footer.
inline constexpr std::string_view kFileNotFoundMessage =
    "<H1>File Not Found</H1>The requested URL was not found on this server.";
inline constexpr std::string_view kProxyAuthErrorMessage = "<H1>Proxy authentication error</H1>";
inline constexpr std::string_view kHostConnectionErrorMessage = "<H1>Host connection error</H1>";
inline constexpr std::string_view kWrongHostMessage =
    "<H1>Wrong host name. Host connection error</H1>";
inline constexpr std::string_view kOnlyHttp10Message = "<H1>Support only HTTP 1.0 request</H1>";

// "<HR><I><A HREF="...">Netrove</A> proxy server</I></BODY></HTML>" CR LF.
std::string PageFooter();

// "Sat, 5 Dec 2026 13:04:59 GMT" for seconds since 1970 in UTC.
std::string HttpDate(int64_t utc_seconds);

// How SendErrorPage reads away what the client still sends: until the
// client is silent for `silence_ms`, and never more than `max_bytes` or
// longer than `max_ms` in all.
struct DrainLimits {
  int64_t silence_ms = 1000;
  size_t max_bytes = 64 * 1024;
  int64_t max_ms = 10000;
};

class ProxyReplies {
 public:
  explicit ProxyReplies(Env& env, DrainLimits drain = DrainLimits()) : env_(env), drain_(drain) {}
  ProxyReplies(const ProxyReplies&) = delete;
  ProxyReplies& operator=(const ProxyReplies&) = delete;

  // Header text, "Last-Modified", "Content-Length", the empty line, the body.
  void SendPage(SocketVar& client, std::string_view header, std::string_view body);
  // Drains the client, then the not-found header with the 404 page of
  // `message`.
  void SendErrorPage(SocketVar& client, std::string_view message);
  void SendProxyAuthRequired(SocketVar& client);
  // The skipped header as it stands (a complete reply without a body).
  void SendSkippedUrl(SocketVar& client);
  void SendUnauthorized(SocketVar& client, std::string_view realm);
  // The file with its size and last-write time, in 512-byte blocks; the
  // File Not Found page when it does not open.
  void SendFileReply(SocketVar& client, std::string_view header, const std::string& path);

 private:
  void Drain(SocketVar& client);

  Env& env_;
  const DrainLimits drain_;
};

}  // namespace netrove
