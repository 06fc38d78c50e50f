// The direct HTTP relay. One client task per connection loops over its
// requests while keep-alive holds; each request is read and checked, sent
// to the origin (the kept connection when it goes to the same host), and
// the response is passed back with its body framed by Content-Length,
// chunks or the origin's close.
#include "proxy/relay.h"

#include <sys/random.h>

#include <algorithm>

#include "proxy/chunked.h"
#include "proxy/http_head.h"

namespace netrove {
namespace {

constexpr size_t kBodyBlock = 1025;
// Answer bodies go on in pieces of what has arrived, up to this much a send.
constexpr size_t kAnswerPiece = 16 * 1024;
constexpr size_t kSecretBytes = 16;

// Both close lines, put right after the status line.
constexpr std::string_view kCloseLines = "Connection: close\r\nProxy-Connection: close\r\n";

std::string MakeSecret() {
  unsigned char raw[kSecretBytes];
  if (getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw)) return "";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : raw) {
    hex.push_back(kHex[b >> 4]);
    hex.push_back(kHex[b & 15]);
  }
  return hex;
}

// Compares in time independent of where the texts differ.
bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool Send(SocketVar& s, std::string_view text) { return SendBuffer(s, text.data(), text.size()); }

// Reads until `want` bytes are in or the socket ends: request body blocks
// go out whole, although one receive hands out at most 512 bytes.
int ReadBlock(SocketVar& s, char* dest, size_t want) {
  size_t got = 0;
  while (got < want) {
    int n = ReadBuffered(s, dest + got, want - got);
    if (n < 1) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<int>(got);
}

// The origin connection of one client connection. While open its socket
// is in the layer's table of uncounted sockets; the socket operations
// close it on failure, so the descriptor is remembered to leave the table.
class Origin {
 public:
  Origin(SocketLayer& layer, Connector& connector) : layer_(layer), connector_(connector) {}
  ~Origin() { Close(); }
  Origin(const Origin&) = delete;
  Origin& operator=(const Origin&) = delete;

  bool IsOpenTo(const std::string& host) const { return socket_.is_open() && host_ == host; }
  bool Connect(const std::string& host) {
    Close();
    socket_ = connector_.Connect(host, 80);
    if (!socket_.is_open()) return false;
    fd_ = socket_.handle();
    (void)layer_.AddUncounted(fd_);  // a full table only means the bytes count twice
    host_ = host;
    return true;
  }
  void Close() {
    if (fd_ >= 1) layer_.RemoveUncounted(fd_);
    fd_ = -1;
    CloseSocketVar(socket_);
    host_.clear();
  }
  SocketVar& socket() { return socket_; }

 private:
  SocketLayer& layer_;
  Connector& connector_;
  SocketVar socket_;
  int fd_ = -1;
  std::string host_;
};

// What one request has come to.
struct RequestState {
  bool keep_alive = true;
  bool error_page_due = true;
};

// The request as read from the client, checked and ready for the origin.
struct ClientRequest {
  RelayRequestLine line;
  std::string headers;  // forwarded header lines with the empty line
  int32_t body_length = 0;
};

enum class Outcome { kDone, kFailed, kRetry };

}  // namespace

struct HttpRelay::Core {
  Core(Network& n, RelayOptions o)
      : net(n), options(std::move(o)), replies(n.env(), options.drain), secret(MakeSecret()) {}

  uint32_t HandleRelayClient(SocketVar& client);
  bool ServeRequest(SocketVar& client, Origin& origin);
  bool ReadRequest(HeadReader& reader, ClientRequest& request);
  Outcome Exchange(SocketVar& client, SocketVar& origin, const ClientRequest& request,
                   RequestState& state);
  void RelayCounted(SocketVar& client, SocketVar& origin, int32_t length, bool known,
                    RequestState& state);
  void RelayChunked(SocketVar& client, SocketVar& origin, RequestState& state);
  bool End(SocketVar& client, const RequestState& state);

  Network& net;
  const RelayOptions options;
  ProxyReplies replies;
  const std::string secret;
};

uint32_t HttpRelay::Core::HandleRelayClient(SocketVar& client) {
  Origin origin(net.sockets(), net.connector());
  while (ServeRequest(client, origin) && client.is_open()) {
    SocketWait wait{.socket = &client};
    if (WaitReadable({&wait, 1}, options.keep_alive_wait_ms) != 1 || !client.is_open()) break;
  }
  origin.Close();
  CloseSocketVar(client);
  return 0;
}

// The end of a request: the error page when nothing has answered the
// client yet (it closes the client); whether the connection goes on.
bool HttpRelay::Core::End(SocketVar& client, const RequestState& state) {
  if (state.error_page_due) {
    replies.SendErrorPage(client, kHostConnectionErrorMessage);
    return false;
  }
  return state.keep_alive;
}

// Reads the header lines after the request line. False for a block over
// its bounds, a missing or wrong secret, or a body it cannot frame.
bool HttpRelay::Core::ReadRequest(HeadReader& reader, ClientRequest& request) {
  bool secret_seen = false, secret_wrong = false, length_seen = false, length_bad = false;
  std::string line;
  for (;;) {
    if (!reader.Next(line)) return false;
    if (line.empty()) break;
    if (auto v = HeaderValue(line, kRelaySecretHeader)) {
      secret_seen = true;
      secret_wrong = secret_wrong || !SameSecret(*v, secret);
      continue;  // never forwarded
    }
    // Hop-by-hop: the front proxy's credentials for an upstream proxy are
    // nobody else's business.
    if (HeaderValue(line, "Proxy-Connection") || HeaderValue(line, "Proxy-Authorization")) continue;
    // One plain length frames a request body; a second length or a chunked
    // body could frame it otherwise at the origin than here.
    if (auto v = HeaderValue(line, "Content-Length")) {
      auto length = ParseContentLength(*v);
      length_bad = length_bad || !length || length_seen;
      length_seen = true;
      request.body_length = length.value_or(0);
    }
    if (HeaderValue(line, "Transfer-Encoding")) length_bad = true;
    request.headers += line + "\r\n";
  }
  request.headers += "\r\n";
  return secret_seen && !secret_wrong && !length_bad;
}

// One request: false when the client connection ends after it.
bool HttpRelay::Core::ServeRequest(SocketVar& client, Origin& origin) {
  RequestState state;
  HeadReader reader(client, net.env(), options.header_deadline_ms);
  std::string first;
  if (!reader.Next(first) || first.empty()) return End(client, state);
  ClientRequest request;
  request.line = ParseRelayRequestLine(first);
  const RelayRequestLine& line = request.line;
  if (line.kind == RelayRequestLine::Kind::kRefused) return End(client, state);
  if (line.kind == RelayRequestLine::Kind::kNotHttp1) {
    replies.SendErrorPage(client, kOnlyHttp10Message);
    return false;
  }
  const bool connect = line.method == RelayMethod::kConnect;
  if (connect || line.method == RelayMethod::kPost) {
    state.keep_alive = false;  // a tunnel ends the connection; every POST gets a fresh origin
    origin.Close();
  }
  if (!ReadRequest(reader, request)) return End(client, state);
  if (line.kind == RelayRequestLine::Kind::kFtp) {
    if (line.method != RelayMethod::kGet || !options.ftp) return End(client, state);
    options.ftp(client, line.url);
    CloseSocketVar(client);
    return false;
  }
  // A kept connection that has gone stale is replaced once; a fresh one is
  // not retried.
  bool retry_allowed = true;
  bool reuse = origin.IsOpenTo(line.host);
  for (;;) {
    if (!reuse) {
      retry_allowed = false;
      if (!origin.Connect(line.host)) return End(client, state);
    }
    reuse = false;
    if (connect) {
      if (!SendLine(client, "HTTP/1.0 200 Connection established\r\n")) return End(client, state);
      state.error_page_due = false;
      RelaySockets(client, origin.socket());
      origin.Close();  // leaves the uncounted table only now: the tunnel's bytes stay uncounted
      return false;
    }
    Outcome outcome = Exchange(client, origin.socket(), request, state);
    // A body already read from the client cannot be sent a second time.
    if (outcome == Outcome::kRetry && retry_allowed && request.body_length == 0) continue;
    if (outcome != Outcome::kDone) state.keep_alive = false;
    if (!state.keep_alive) origin.Close();
    return End(client, state);
  }
}

Outcome HttpRelay::Core::Exchange(SocketVar& client, SocketVar& origin,
                                  const ClientRequest& request, RequestState& state) {
  if (!Send(origin, request.line.origin_line + "\r\n" + request.headers)) return Outcome::kRetry;
  char buffer[kBodyBlock];
  for (int32_t left = request.body_length; left > 0;) {
    int n = ReadBlock(client, buffer, std::min<size_t>(kBodyBlock, static_cast<size_t>(left)));
    if (n < 1) return Outcome::kFailed;
    if (options.request_body_block) options.request_body_block(static_cast<size_t>(n));
    if (!SendBuffer(origin, buffer, static_cast<size_t>(n))) return Outcome::kFailed;
    left -= n;
  }

  HeadReader reader(origin, net.env(), options.header_deadline_ms);
  std::string status, line;
  (void)reader.Next(status);
  if (!status.starts_with("HTTP/1.")) return Outcome::kRetry;
  std::string head = status + "\r\n";
  ResponseHeadFacts facts;
  for (;;) {
    if (!reader.Next(line)) return Outcome::kFailed;
    head += line + "\r\n";
    if (line.empty()) break;
    NoteResponseHeader(line, facts);
  }
  const bool length_known = facts.has_length && !facts.bad_length;
  // A 302 without a framed body gets none: the close tells the client so,
  // and drops whatever the origin might still send.
  const bool bare_redirect = StatusIsRedirect(status) && !facts.chunked && !length_known;
  const bool head_only =
      request.line.method == RelayMethod::kHead || StatusHasNoBody(status) || bare_redirect;
  if (facts.connection_close || bare_redirect) state.keep_alive = false;
  // A body that ends with the origin's close ends the client's connection
  // too: that close is all the client can tell its end by.
  if (!head_only && !facts.chunked && !length_known) state.keep_alive = false;
  if (!state.keep_alive) head.insert(status.size() + 2, kCloseLines);
  if (!Send(client, head)) return Outcome::kFailed;
  state.error_page_due = false;
  if (head_only) return Outcome::kDone;
  if (facts.chunked) {
    RelayChunked(client, origin, state);
  } else {
    RelayCounted(client, origin, length_known ? facts.length : INT32_MAX, length_known, state);
  }
  return Outcome::kDone;
}

void HttpRelay::Core::RelayCounted(SocketVar& client, SocketVar& origin, int32_t length, bool known,
                                   RequestState& state) {
  char buffer[kAnswerPiece];
  for (int32_t left = length; left > 0;) {
    int n = ReadBufferedGather(origin, buffer,
                               std::min<size_t>(kAnswerPiece, static_cast<size_t>(left)));
    if (n < 1) {
      // The origin's close ends a body of unknown length; any other body
      // is cut short, and the client can only be told by a close.
      if (known) state.keep_alive = false;
      return;
    }
    if (!SendBuffer(client, buffer, static_cast<size_t>(n))) {
      state.keep_alive = false;
      return;
    }
    left -= n;
  }
}

// Chunk data is read in blocks up to the end of its chunk and the framing
// one byte at a time, so that nothing past the body's end is read; framing
// bytes wait to go out with the data after them.
void HttpRelay::Core::RelayChunked(SocketVar& client, SocketVar& origin, RequestState& state) {
  ChunkedFramer framer;
  std::string out;
  char buffer[kAnswerPiece];
  for (;;) {
    uint64_t wanted = framer.DataWanted();
    int n = wanted ? ReadBufferedGather(origin, buffer, std::min<uint64_t>(kAnswerPiece, wanted))
                   : ReadBuffered(origin, buffer, 1);
    if (n < 1) break;
    ChunkedFramer::Result result = framer.Feed(buffer, static_cast<size_t>(n));
    if (result == ChunkedFramer::Result::kError) break;
    out.append(buffer, static_cast<size_t>(n));
    const bool done = result == ChunkedFramer::Result::kDone;
    if (done || framer.DataWanted() > 0 || out.size() >= kAnswerPiece) {
      if (!Send(client, out)) break;
      out.clear();
    }
    if (done) return;
  }
  // A stream that broke off or broke the framing: the client learns of it
  // by the close.
  state.keep_alive = false;
}

HttpRelay::HttpRelay(Network& net, RelayOptions options)
    : net_(net), core_(std::make_shared<Core>(net, std::move(options))) {}

HttpRelay::~HttpRelay() { Stop(); }

bool HttpRelay::Start() {
  std::lock_guard<std::mutex> lock(mu_);
  if (listener_.is_open()) return true;
  if (core_->secret.empty()) return false;  // never an open relay
  std::shared_ptr<Core> core = core_;
  net_.ports().ListenTcpLoopback(
      0, listener_, [core](SocketVar& client) { return core->HandleRelayClient(client); });
  if (!listener_.is_open()) return false;
  port_ = GetLocalPort(listener_.handle());
  return true;
}

void HttpRelay::Stop() {
  std::lock_guard<std::mutex> lock(mu_);
  CloseSocketVar(listener_);
  port_ = 0;
}

uint16_t HttpRelay::RelayPort() const {
  std::lock_guard<std::mutex> lock(mu_);
  return port_;
}

std::string HttpRelay::SecretHeaderLine() const {
  return std::string(kRelaySecretHeader) + ": " + core_->secret;
}

}  // namespace netrove
