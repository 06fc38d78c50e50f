// The listing-line parser and the page line it makes, on arbitrary server
// lines: a name never reaches the page as markup, and a link target never
// leaves its attribute.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "proxy/ftp_over_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // The first byte splits the input into a link path and a listing line.
  const size_t split = size == 0 ? 0 : std::min<size_t>(data[0], size - 1);
  const std::string_view link_path = input.substr(size == 0 ? 0 : 1, split);
  const std::string_view line = input.substr(std::min(size, split + 1));
  auto entry = netrove::ParseListingLine(line);
  if (!entry) return 0;
  if (entry->name.empty() || entry->name == "." || entry->name == "..") __builtin_trap();
  if (line.find(entry->name) == std::string_view::npos) __builtin_trap();
  const std::string page = netrove::FtpListingPageLine(*entry, link_path);
  // The only markup is the line's own: its tags and the one quoted target.
  std::string rest = page;
  for (std::string_view own : {"<FONT COLOR=\"BLUE\">", "</FONT>", "<A HREF=\"", "\">", "</A>"}) {
    if (size_t at = rest.find(own); at != std::string::npos) rest.erase(at, own.size());
  }
  if (rest.find_first_of("<>\"") != std::string::npos) __builtin_trap();
  const size_t href = page.find("<A HREF=\"") + 9;
  const std::string target = page.substr(href, page.find('"', href) - href);
  if (target.find_first_of(" #?'`\\") != std::string::npos) __builtin_trap();
  if (target.find('&') != std::string::npos && target.find("&amp;") == std::string::npos)
    __builtin_trap();
  return 0;
}
