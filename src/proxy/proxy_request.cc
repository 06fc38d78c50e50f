// The front proxy's request rewriting. Every line comes from a client; the
// head sent upstream holds only whole lines, each ended by CR LF, and never
// more than kMaxRequestHead characters besides the lines inserted here.
#include "proxy/proxy_request.h"

#include <algorithm>

#include "runtime/text.h"

namespace netrove {
namespace {

bool HasLineEnd(std::string_view text) { return text.find_first_of("\r\n") != text.npos; }

// Collapses runs of spaces into one and trims the ends.
std::string CollapseSpaces(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  for (char c : line)
    if (c != ' ' || (!out.empty() && out.back() != ' ')) out += c;
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// The target without a "user:password@" in front of its host.
std::string WithoutUserInfo(std::string_view target) {
  size_t start = target.find("//");
  start = start == target.npos ? 0 : start + 2;
  size_t end = std::min(target.find('/', start), target.size());
  size_t at = target.substr(start, end - start).rfind('@');
  if (at == target.npos) return std::string(target);
  return std::string(target.substr(0, start)) + std::string(target.substr(start + at + 1));
}

}  // namespace

ProxyRequestLine ParseProxyRequestLine(std::string_view raw) {
  ProxyRequestLine r;
  if (HasLineEnd(raw)) return r;
  r.line = CollapseSpaces(raw);
  const std::string upper = UpperAscii(r.line.substr(0, 8));
  size_t method_size = 0;
  if (upper.starts_with("CONNECT ")) {
    r.method = ProxyMethod::kConnect;
    method_size = 8;
  } else if (upper.starts_with("GET ")) {
    r.method = ProxyMethod::kGet;
    method_size = 4;
  } else if (upper.starts_with("POST ")) {
    r.method = ProxyMethod::kPost;
    method_size = 5;
  } else if (upper.starts_with("HEAD ")) {
    r.method = ProxyMethod::kHead;
    method_size = 5;
  } else {
    return r;
  }
  const std::string_view line = r.line;
  const size_t target_end = std::min(line.find(' ', method_size), line.size());
  r.target = std::string(line.substr(method_size, target_end - method_size));
  if (r.method != ProxyMethod::kConnect && line.find("://") == line.npos) {
    r.kind = ProxyRequestLine::Kind::kLocalPage;
    return r;
  }
  // The rebuilt line with its CR LF must leave room in the head.
  if (line.find(" HTTP/1") == line.npos || line.size() + 2 > kMaxRequestHead) return r;
  r.kind = ProxyRequestLine::Kind::kProxy;
  // A HEAD answer has no body: stored, it would stand for the object, and
  // a stored object served to a HEAD would send the body along.
  r.no_store = r.method == ProxyMethod::kPost || r.method == ProxyMethod::kHead;
  r.is_ftp = line.size() >= 10 && UpperAscii(line.substr(4, 6)) == "FTP://";
  r.log_text = std::string(line.substr(0, method_size)) + WithoutUserInfo(r.target);
  return r;
}

ProxyHeadRewriter::ProxyHeadRewriter(const ProxyRequestLine& line) {
  if (line.kind != ProxyRequestLine::Kind::kProxy) {
    state_ = State::kEnded;
    return;
  }
  Append(line.line);
  line_size_ = text_.size();
  no_store_ = line.no_store;
}

void ProxyHeadRewriter::Append(std::string_view line) {
  text_ += line;
  text_ += "\r\n";
}

ProxyHeadRewriter::State ProxyHeadRewriter::AddLine(std::string_view line) {
  if (state_ != State::kMore) return state_;
  if (HasLineEnd(line)) return state_ = State::kEnded;
  const std::string lower = LowerAscii(line.substr(0, kMaxRequestField));
  std::string_view forward = line;
  if (lower.starts_with("proxy-authorization:")) {
    credentials_ = std::string(line.substr(0, kMaxRequestField));
    return state_;
  }
  if (lower == "range: bytes=0-" || lower.starts_with("if-") || lower.starts_with("host:"))
    return state_;
  if (lower.starts_with("authorization:") || lower.starts_with("cookie:")) {
    no_store_ = private_ = true;
  } else if (lower.starts_with("user-agent:")) {
    forward = kProxyUserAgent;
  }
  if (text_.size() + forward.size() + 2 > kMaxRequestHead) return state_ = State::kEnded;
  Append(forward);
  if (line.empty()) state_ = State::kComplete;
  return state_;
}

std::optional<ProxyRequest> FinishProxyRequest(const ProxyRequestLine& line,
                                               const ProxyHeadRewriter& head,
                                               std::string_view proxy_auth,
                                               std::string_view cache_dir) {
  if (head.state() != ProxyHeadRewriter::State::kComplete) return std::nullopt;
  ProxyRequest r;
  r.cache_name = CacheNameFromRequest(head.text());
  if (r.cache_name.file_name.empty()) return std::nullopt;
  r.credentials = head.credentials();
  r.no_store = head.no_store();
  r.is_private = head.is_private();
  r.is_ftp = line.is_ftp;

  // The host as the target names it, port included.
  if (line.method == ProxyMethod::kConnect) {
    r.host = line.target;
  } else {
    size_t start = line.target.find("//");
    start = start == std::string::npos ? line.target.size() : start + 2;
    r.host = line.target.substr(start, line.target.find('/', start) - start);
  }
  // A "user:password@" of the URL is not for the Host line of every hop.
  if (size_t at = r.host.rfind('@'); at != std::string::npos) r.host.erase(0, at + 1);
  std::string inserted = "Host: " + r.host + "\r\n";
  if (!proxy_auth.empty() && !HasLineEnd(proxy_auth))
    inserted += "Proxy-Authorization: " + std::string(proxy_auth) + "\r\n";
  r.text = head.text();
  r.text.insert(head.request_line_size(), inserted);

  // The URL: the request line between its first and second space.
  const std::string_view request_line = line.line;
  const size_t first = request_line.find(' ') + 1;
  const size_t second = std::min(request_line.find(' ', first), request_line.size());
  r.url = std::string(request_line.substr(first, std::min(second - first, kMaxRequestField)));

  const std::string& file = r.cache_name.file_name;
  if (file.find('?') != std::string::npos || file.find("cgi") != std::string::npos)
    r.is_private = true;
  // CachePathFor turns "?", "|", "*", ":" into "!" and refuses names that
  // cannot be stored; the file filter sees the name as stored.
  std::optional<std::string> path;
  if (file != kNotCacheableName && !file.starts_with('*'))
    path = CachePathFor(cache_dir, r.cache_name, r.is_ftp);
  if (path) {
    r.cache_path = *path;
    r.file_name = path->substr(path->rfind('/') + 1);
  } else {
    r.cache_name.file_name = std::string(kNotCacheableName);
    r.file_name = r.cache_path = std::string(kNotCacheableName);
    r.no_store = true;
  }
  if (r.no_store) r.is_private = true;
  return r;
}

}  // namespace netrove
