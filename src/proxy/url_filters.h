// The proxy's object filters: "url.bad" (URL prefixes and substrings, with
// exceptions) and "files.bad" (MS-DOS style file masks), read once when the
// proxy service starts; missing files mean no filtering.
//
// url.bad, one entry a line, tried in order, the first match decides:
//   TEXT     blocks URLs beginning with TEXT (case-sensitive)
//   +TEXT    blocks URLs containing TEXT
//   !TEXT, !+TEXT   the same forms as exceptions: a match lets the URL pass
// files.bad, one line a rule: a ","-separated list of masks such as
// "*.exe,*.zip,setup?.*"; "*" ends the comparison of the name or extension
// part, "?" stands for any one character; compared without regard to case.
// Lines up to 255 characters; empty lines and lines beginning with ";" are
// skipped; nothing else is trimmed.
//
// Thread safety: every member may be called from any task; a load replaces
// the lists whole.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "net/socket.h"
#include "proxy/replies.h"
#include "runtime/env.h"

namespace netrove {

inline constexpr char kUrlBadFile[] = "url.bad";
inline constexpr char kFilesBadFile[] = "files.bad";
inline constexpr size_t kFilterLineLimit = 255;
inline constexpr size_t kFilterFileLimit = 1u << 20;

// The entries of a filter file's text. A file cut at kFilterFileLimit
// loses its last, possibly cut, line (a cut entry would block more).
std::vector<std::string> ParseFilterText(std::string_view text, bool cut = false);

// True when `url` (cut at 255 characters) is blocked by the url.bad entries.
bool UrlIsBlocked(const std::vector<std::string>& entries, std::string_view url);
// The text the masks are compared with: the last "\" or "/" component of
// `file_name`, as name "." lower-cased extension ("name." without one).
std::string FileCompareText(std::string_view file_name);
// True when some mask of the ","-separated `masks` matches `compare_text`.
bool FileMasksMatch(std::string_view compare_text, std::string_view masks);
// True when some line of files.bad matches the cache file name.
bool FileIsBlocked(const std::vector<std::string>& lines, std::string_view file_name);

class ProxyFilters {
 public:
  // Files through `env`; the refusals are sent through `replies`.
  ProxyFilters(Env& env, ProxyReplies& replies);
  ProxyFilters(const ProxyFilters&) = delete;
  ProxyFilters& operator=(const ProxyFilters&) = delete;

  // Reads url.bad and files.bad from the working directory anew.
  void LoadBadLists();
  // True when the URL is blocked; the client then has the skipped reply
  // and is closed.
  bool UrlBadCheck(std::string_view url, SocketVar& client);
  // True when the cache file name is blocked; the client then has the
  // File Not Found page and is closed.
  bool FilesBadCheck(std::string_view file_name, SocketVar& client);

 private:
  struct Lists {
    std::vector<std::string> url_bad;
    std::vector<std::string> files_bad;
  };
  std::shared_ptr<const Lists> Snapshot() const;

  Env& env_;
  ProxyReplies& replies_;
  mutable std::mutex mu_;
  std::shared_ptr<const Lists> lists_;  // guarded by mu_
};

}  // namespace netrove
