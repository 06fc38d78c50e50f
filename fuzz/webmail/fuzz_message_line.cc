// A body line of any bytes as HTML: every "<" starts one of the elements
// the renderer writes, with a quoted web, mail or ICQ address; every "&"
// starts a character reference; no ">" or double quote stands outside
// them; and the text a browser shows is the line itself (plus the blank
// the renderer appends). A quoted line holds no markup at all.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/text.h"
#include "webmail/message_render.h"

namespace {

constexpr std::string_view kMailPrefix = "mailto:";

struct Reference {
  std::string_view text;
  char byte;
};
constexpr Reference kReferences[] = {
    {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};

// The shown text of escaped `html` (no element allowed); traps on a raw
// markup byte or an unknown reference.
std::string Unescape(std::string_view html) {
  std::string shown;
  for (size_t i = 0; i < html.size();) {
    const char c = html[i];
    if (c == '<' || c == '>' || c == '"') __builtin_trap();
    if (c != '&') {
      shown += c;
      ++i;
      continue;
    }
    bool known = false;
    for (const Reference& r : kReferences) {
      if (html.substr(i).starts_with(r.text)) {
        shown += r.byte;
        i += r.text.size();
        known = true;
        break;
      }
    }
    if (!known) __builtin_trap();
  }
  return shown;
}

bool Allowed(std::string_view target) {
  return netrove::StartsWithNoCase(target, "http://") ||
         netrove::StartsWithNoCase(target, "https://") || target.starts_with(kMailPrefix);
}

// The shown text of rendered `html`, its elements checked and left out.
std::string ShownText(std::string_view html) {
  std::string shown;
  size_t text_start = 0;
  for (size_t i = html.find('<'); i != std::string_view::npos; i = html.find('<', text_start)) {
    shown += Unescape(html.substr(text_start, i - text_start));
    std::string_view rest = html.substr(i);
    if (rest.starts_with("</a>")) {
      text_start = i + 4;
      continue;
    }
    const bool image = rest.starts_with("<img src=\"");
    if (!image && !rest.starts_with("<a href=\"")) __builtin_trap();
    rest.remove_prefix(image ? 10 : 9);
    const size_t quote = rest.find('"');
    if (quote == std::string_view::npos) __builtin_trap();
    const std::string target = Unescape(rest.substr(0, quote));
    if (!Allowed(target)) __builtin_trap();
    // The status image follows its link after a blank of its own.
    if (image && (shown.empty() || shown.back() != ' ')) __builtin_trap();
    if (image) shown.pop_back();
    rest.remove_prefix(quote + 1);
    size_t end = 0;
    for (std::string_view close : {">", " target=linkswnd>", " target=icqwnd>"})
      if (rest.starts_with(close)) end = close.size();
    if (end == 0) __builtin_trap();
    text_start = static_cast<size_t>(rest.data() - html.data()) + end;
  }
  return shown + Unescape(html.substr(text_start));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const std::string html = netrove::RenderMessageLine(line, kMailPrefix);
  if (html.find("&&") != std::string::npos) __builtin_trap();
  if (ShownText(html) != std::string(line) + " ") __builtin_trap();
  const std::string quoted = netrove::QuoteBodyLine(line);
  if (Unescape(quoted) != ">" + std::string(line) + "\r\n") __builtin_trap();
  return 0;
}
