// ftp:// URLs for browsers that use the proxy: the relay hands each GET of
// one to FtpOverHttp, which logs in to the FTP server (passive mode only)
// and answers with an HTML page of the directory or with the file as an
// HTTP/1.0 response.
//
// Downloads go through resume files under "<cache dir>/FTP/": while a
// download is incomplete its file holds the listing stamp of the FTP file
// and the bytes received so far, and the next request for the same file
// (same stamp) sends those bytes from disk and asks the server for the
// rest with REST. One download at a time owns a resume file; another
// download of the same file meanwhile goes straight from the server.
//
// Everything the FTP server sends is hostile: reply lines are capped, the
// lines of one reply counted, the passive address must be the server's
// own, listing names are escaped in the page and its links.
//
// Thread safety: one FtpOverHttp serves any number of tasks at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "net/network.h"
#include "proxy/replies.h"

namespace netrove {

// The password of an anonymous login (the URL names no user).
inline constexpr std::string_view kFtpAnonymousPassword = "netrove@netrove.invalid";
// The longest ftp:// URL taken.
inline constexpr size_t kMaxFtpUrl = 255;

// The messages of the FTP error page by code (1..10); "Unknown error" for
// any other code.
std::string_view FtpErrorMessage(int code);

// What an ftp:// URL names, after URL decoding.
struct FtpUrl {
  std::string host_text;  // host, optionally ":" and port
  std::string user = "anonymous";
  std::string password = std::string(kFtpAnonymousPassword);
  std::string path;  // "" or beginning with "/"
};

// URL-decodes `url` ("ftp://[user[:password]@]host[:port][/path]"), turns
// "\" into "/" and splits it (the user information ends at the last "@"
// before the path). Nullopt when the decoded URL holds CR, LF or NUL:
// they would end an FTP command early and start another.
std::optional<FtpUrl> ParseFtpUrl(std::string_view url);

// One line of a long listing ("drwxr-xr-x 2 user group 4096 Jan 5 12:00
// name").
struct FtpListingEntry {
  std::string permissions;
  std::string size_text;
  std::string date_text;  // three fields, each with one blank after it
  std::string name;       // a symbolic link's name without " -> target"
  bool is_directory() const { return permissions.find('d') != std::string::npos; }
};

// Splits off the permissions, link count, owner, group and size (each
// with the blanks after it) and three date fields; the name is the rest.
// Nullopt when the name is empty, "." or "..".
std::optional<FtpListingEntry> ParseListingLine(std::string_view line);

// The size for the page: a number with "," between groups of three
// digits; any other text as it is.
std::string FtpShownSize(std::string_view size_text);

// `path` percent-encoded for a link target: blanks, control bytes, bytes
// above 126 and " # % ' + < > ? \ ` as "%XX" (a "+" would come back as a
// blank).
std::string FtpLinkPath(std::string_view path);

// The page line of one entry (without its line end): the date padded to
// 13 characters, then "Directory" in blue or the size, padded to 16, and
// the link to `link_path` + name (+ "/" for a directory). Texts from the
// server are HTML-escaped; the link target is encoded by FtpLinkPath.
std::string FtpListingPageLine(const FtpListingEntry& entry, std::string_view link_path);

// The head of a directory page up to the listing's "<PRE>" (without it):
// title and heading "FTP <shown name> at <host text>", and the links up and
// to the root unless the shown name is "root".
std::string FtpDirectoryPageHead(std::string_view shown_name, std::string_view host_text);

// The name of the resume file of a download: the host text and the path
// with every "/", "\", "?", ":" and "*" replaced by "+". Nullopt when the
// name would be longer than 255 characters (two long URLs cut to one name
// would share a file) or is empty, "." or "..".
std::optional<std::string> FtpResumeKey(std::string_view host_text, std::string_view path);

// What a resume file is checked against: the listing's size text and date
// text, cut to 255 characters.
std::string FtpResumeStamp(std::string_view size_text, std::string_view date_text);

struct FtpOptions {
  // The most lines read while waiting for one reply.
  size_t max_reply_lines = 1000;
  // The longest line read from the server (a longer one fails the session).
  size_t max_line = 65530;
  // The most lines of the listing looked at for a download.
  size_t max_lookup_lines = 10000;
  // The most lines of a directory page.
  size_t max_page_lines = 1000000;
};

class FtpOverHttp {
 public:
  FtpOverHttp(Network& net, FtpOptions options = FtpOptions());
  FtpOverHttp(const FtpOverHttp&) = delete;
  FtpOverHttp& operator=(const FtpOverHttp&) = delete;

  // Where the resume files go: "<dir>FTP/" (`dir` ends with "/"). Until it
  // is set, downloads do not resume.
  void SetCacheDirectory(const std::string& dir);

  // Answers a GET of `url` (an ftp:// URL up to the first space of the
  // request line) on `client`; closes `client` before it returns. Failures
  // get the FTP error page.
  void Serve(SocketVar& client, const std::string& url);

  // While a download holds the resume file of `key`, a second hold of it
  // fails. Released by the destructor.
  class KeyHold {
   public:
    KeyHold(FtpOverHttp& owner, const std::string& key);
    ~KeyHold();
    KeyHold(const KeyHold&) = delete;
    KeyHold& operator=(const KeyHold&) = delete;
    bool held() const { return held_; }

   private:
    FtpOverHttp& owner_;
    const std::string key_;
    bool held_ = false;
  };

 private:
  friend class FtpSession;  // ftp_over_http.cc
  // "<cache dir>FTP/", or "" while there is no cache directory.
  std::string ResumeDirectory();

  Network& net_;
  const FtpOptions options_;
  ProxyReplies replies_;
  std::mutex mu_;
  std::string resume_dir_;      // guarded by mu_
  std::set<std::string> held_;  // guarded by mu_
};

}  // namespace netrove
