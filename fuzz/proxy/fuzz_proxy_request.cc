// The front proxy's request rewriting. The input is split at "\n": the
// first line is the request line, the rest are header lines (a "\r" stays
// inside its line). The head sent upstream stays within the cap plus the
// inserted lines, never forwards the client's credentials and holds only
// whole lines.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "proxy/proxy_request.h"
#include "runtime/text.h"

namespace {

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using netrove::ProxyHeadRewriter;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string_view first = text.substr(0, text.find('\n'));
  netrove::ProxyRequestLine line = netrove::ParseProxyRequestLine(first);
  if (line.kind != netrove::ProxyRequestLine::Kind::kProxy) return 0;
  Check(line.log_text.find_first_of("\r\n") == std::string::npos);
  ProxyHeadRewriter head(line);
  for (size_t at = first.size() + 1; at < text.size();) {
    size_t end = std::min(text.find('\n', at), text.size());
    head.AddLine(text.substr(at, end - at));
    at = end + 1;
  }
  head.AddLine("");
  Check(head.text().size() <= netrove::kMaxRequestHead);
  Check(head.credentials().size() <= netrove::kMaxRequestField);
  const std::string auth = "Basic dXBzdHJlYW0=";
  auto r = netrove::FinishProxyRequest(line, head, auth, "cache/");
  if (!r) return 0;
  const size_t inserted = ("Host: " + r->host + "\r\nProxy-Authorization: " + auth + "\r\n").size();
  Check(r->text.size() <= netrove::kMaxRequestHead + inserted);
  Check(r->text.ends_with("\r\n\r\n"));
  Check(r->url.size() <= netrove::kMaxRequestField);
  // Whole lines only; the one Proxy-Authorization line is the inserted one.
  size_t index = 0;
  for (size_t at = 0; at < r->text.size(); ++index) {
    size_t end = r->text.find("\r\n", at);
    Check(end != std::string::npos);
    std::string_view forwarded(r->text.data() + at, end - at);
    Check(forwarded.find_first_of("\r\n") == std::string_view::npos);
    const bool auth_line = netrove::UpperAscii(forwarded.substr(0, 20)) == "PROXY-AUTHORIZATION:";
    Check(auth_line == (index == 2));
    if (auth_line) Check(forwarded == "Proxy-Authorization: " + auth);
    at = end + 2;
  }
  Check(r->cacheable() ? r->cache_path.starts_with("cache/") : r->no_store);
  if (r->no_store) Check(r->is_private);
  return 0;
}
