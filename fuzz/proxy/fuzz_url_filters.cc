// The url.bad and files.bad checks on arbitrary URLs, names and lists: the
// first match decides, the 255-character bound holds, and masks that must
// match do.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "proxy/url_filters.h"

namespace {

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The URL (or file name) up to the first line end, the list after it.
  const size_t end = text.find('\n');
  const std::string url = text.substr(0, end);
  std::vector<std::string> entries;
  if (end != std::string::npos) entries = netrove::ParseFilterText(text.substr(end + 1));
  for (const std::string& entry : entries)
    Check(!entry.empty() && entry.size() <= netrove::kFilterLineLimit && entry[0] != ';');

  const bool blocked = netrove::UrlIsBlocked(entries, url);
  Check(blocked == netrove::UrlIsBlocked(entries, url.substr(0, netrove::kFilterLineLimit)));
  Check(!netrove::UrlIsBlocked({}, url));
  if (!url.empty()) {
    // An exception for the URL's own prefix in front lets it pass; a plain
    // prefix in front blocks it.
    std::vector<std::string> with = entries;
    with.insert(with.begin(), "!" + url.substr(0, 1 + size % 255));
    Check(!netrove::UrlIsBlocked(with, url));
    if (url[0] != '!' && url[0] != '+') {
      with[0] = url.substr(0, 1 + size % 255);
      Check(netrove::UrlIsBlocked(with, url));
    }
  }

  const std::string compare = netrove::FileCompareText(url);
  Check(compare.find('.') != std::string::npos && compare.size() <= url.size() + 1);
  (void)netrove::FileIsBlocked(entries, url);
  Check(netrove::FileIsBlocked({"*.*"}, url) == !url.empty());
  if (!url.empty() && compare.find_first_of("*?, \t") == std::string::npos)
    Check(netrove::FileIsBlocked({compare}, url));
  return 0;
}
