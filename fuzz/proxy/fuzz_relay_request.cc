// The relay's request-line parsing and the header lines it acts on. The
// input is split at line ends: the first line is the request line, the
// rest are request and response header lines.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "proxy/http_head.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string_view first = text.substr(0, text.find('\n'));
  netrove::RelayRequestLine r = netrove::ParseRelayRequestLine(first);
  using Kind = netrove::RelayRequestLine::Kind;
  if (r.kind == Kind::kHttp) {
    // A host that can be connected to, and an origin line that cannot
    // carry a second line.
    if (r.host.empty() || r.host.size() > netrove::kMaxHostText) __builtin_trap();
    for (char c : r.host)
      if (static_cast<unsigned char>(c) <= ' ') __builtin_trap();
    if (r.method != netrove::RelayMethod::kConnect && r.origin_line.find(" /") == std::string::npos)
      __builtin_trap();
    if (r.origin_line.find('\n') != std::string::npos) __builtin_trap();
  } else if (!r.host.empty()) {
    __builtin_trap();
  }
  netrove::ResponseHeadFacts facts;
  for (size_t at = first.size() + 1; at < text.size();) {
    size_t end = std::min(text.find('\n', at), text.size());
    std::string_view line = text.substr(at, end - at);
    netrove::NoteResponseHeader(line, facts);
    if (auto v = netrove::HeaderValue(line, "Content-Length"))
      if (auto n = netrove::ParseContentLength(*v); n && *n < 0) __builtin_trap();
    at = end + 1;
  }
  if (facts.length < 0) __builtin_trap();
  return 0;
}
