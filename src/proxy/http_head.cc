// The relay's request line and header parsing. Every input is hostile: the
// results only ever hold slices of it, checked for length and blanks.
#include "proxy/http_head.h"

#include <algorithm>

#include "runtime/text.h"

namespace netrove {
namespace {

// A host text fit to connect to: not empty, not too long, no blanks or
// control bytes (a line end would smuggle a second line somewhere).
bool GoodHostText(std::string_view host) {
  if (host.empty() || host.size() > kMaxHostText) return false;
  return std::none_of(host.begin(), host.end(), [](char c) {
    auto b = static_cast<unsigned char>(c);
    return b <= ' ' || b == 0x7f;
  });
}

}  // namespace

RelayRequestLine ParseRelayRequestLine(std::string_view line) {
  RelayRequestLine r;
  size_t space = line.find(' ');
  if (space == std::string_view::npos) return r;
  std::string_view method = line.substr(0, space);
  if (method == "GET") {
    r.method = RelayMethod::kGet;
  } else if (method == "POST") {
    r.method = RelayMethod::kPost;
  } else if (method == "HEAD") {
    r.method = RelayMethod::kHead;
  } else if (method == "CONNECT") {
    r.method = RelayMethod::kConnect;
  } else {
    return r;
  }
  std::string_view rest = line.substr(space + 1);
  const bool connect = r.method == RelayMethod::kConnect;
  // The scheme as "HTTP://": through two characters after the first ":".
  size_t colon = rest.find(':');
  std::string scheme =
      colon == std::string_view::npos ? std::string() : UpperAscii(rest.substr(0, colon + 3));
  if (!connect && scheme == "FTP://") {
    r.kind = RelayRequestLine::Kind::kFtp;
    r.url = std::string(rest.substr(0, rest.find(' ')));
    return r;
  }
  if (!connect && scheme != "HTTP://") return r;
  if (rest.find(" HTTP/1") == std::string_view::npos) {
    r.kind = RelayRequestLine::Kind::kNotHttp1;
    return r;
  }
  std::string_view host;
  if (connect) {
    host = rest.substr(0, rest.find(' '));
  } else {
    rest.remove_prefix(7);
    size_t end = std::min({rest.find('/'), rest.find(' '), rest.find('?')});
    host = rest.substr(0, end);
    rest.remove_prefix(host.size());
    r.origin_line =
        std::string(method) + " " + (rest.starts_with('/') ? "" : "/") + std::string(rest);
  }
  if (!GoodHostText(host)) {
    r.origin_line.clear();
    return r;
  }
  r.host = std::string(host);
  r.kind = RelayRequestLine::Kind::kHttp;
  return r;
}

std::optional<int32_t> ParseContentLength(std::string_view text) {
  const std::optional<uint64_t> value = ParseDecimal(Trim(text), 10);
  if (!value || *value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(*value);
}

std::optional<std::string_view> HeaderValue(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return std::nullopt;
  if (!EqualsNoCase(line.substr(0, name.size()), name)) return std::nullopt;
  std::string_view value = line.substr(name.size() + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  return value;
}

void NoteResponseHeader(std::string_view line, ResponseHeadFacts& facts) {
  if (auto v = HeaderValue(line, "Connection")) {
    if (ContainsNoCase(*v, "close")) facts.connection_close = true;
  } else if (auto v = HeaderValue(line, "Content-Length")) {
    auto length = ParseContentLength(*v);
    // Two different lengths leave the body to the origin's close.
    facts.bad_length = facts.bad_length || !length || (facts.has_length && *length != facts.length);
    facts.has_length = true;
    if (length) facts.length = *length;
  } else if (auto v = HeaderValue(line, "Transfer-Encoding")) {
    if (ContainsNoCase(*v, "chunked")) facts.chunked = true;
  }
}

bool StatusHasNoBody(std::string_view status_line) {
  for (std::string_view code : {" 304 ", " 204 "})
    if (status_line.find(code) != std::string_view::npos) return true;
  return false;
}

bool StatusIsRedirect(std::string_view status_line) {
  return status_line.find(" 302 ") != std::string_view::npos;
}

}  // namespace netrove
