// Proxy users: who may use the proxy, by the "Proxy-Authorization:" line of
// a request and the user files "authpass.usr" (every request) and
// "authpass.ftp" (GET of an ftp:// URL, checked in addition).
//
// A user file is an address-list file (net/address_list.h). One entry:
//   [window "," ...]NAME [PASSWORD [ADDRESS]]
// NAME "-" is the default entry for any user without an entry of his own;
// names compare without regard to case, passwords exactly; a password "-"
// (or none) accepts any password; ADDRESS is an address pattern
// (net/address_match.h), "*.*.*.*" when missing.
//
// ADDRESS is matched against the LOCAL address and port of the client's
// connection, that is the proxy's own address that the client reached, not
// the client's address. On a gateway with several interfaces this limits a
// user to the networks he arrives from (the office side, a dial-in side);
// who the client machine is belongs to proxy.ip.
//
// Thread safety: a ProxyUsers may be used from any task. The lists it is
// given reload themselves lazily (AddressList).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/address_list.h"
#include "net/socket.h"
#include "runtime/console.h"
#include "runtime/env.h"
#include "runtime/log.h"

namespace netrove {

inline constexpr char kProxyUsersFile[] = "authpass.usr";
inline constexpr char kProxyFtpUsersFile[] = "authpass.ftp";
inline constexpr size_t kCredentialsLimit = 255;
// Invalid Base64 characters reported per decoding; the rest are skipped
// silently, so a long garbage header cannot flood the console.
inline constexpr size_t kCharErrorReports = 3;

struct Base64Result {
  std::string data;
  std::vector<char> bad_chars;  // the first kCharErrorReports invalid characters
  size_t bad_count = 0;         // all invalid characters
};
// Standard alphabet; "=" ends the data; invalid characters are skipped;
// a final group of 2 or 3 characters gives 1 or 2 bytes, a lone one none.
Base64Result DecodeBase64(std::string_view text);
// "Char error:" + the character + " (" + its decimal code + ")"; bytes
// outside 33..126 are shown as "\xNN" so the console is not driven by them.
std::string CharErrorText(char c);

// The user and password of a credentials line.
struct ProxyCredentials {
  std::string user;                     // upper-cased; "-" without a line
  std::optional<std::string> password;  // none without a line: only "-" accepts it
};
// The whole "Proxy-Authorization:" line (cut at kCredentialsLimit) or "".
// Nullopt when malformed: no space after the header name, nothing after
// the scheme word, no ":" in the decoded text. `decoded` (may be null)
// receives the Base64 result for its error reports.
std::optional<ProxyCredentials> ParseProxyCredentials(std::string_view line,
                                                      Base64Result* decoded = nullptr);

// The entry decision over a list's entries. `local_dotted` is the proxy's
// own address the client reached (dotted, without the final "."); time
// windows are judged at `local_seconds`. On success `user` is the name as
// written in the chosen entry ("-" for the default entry).
bool MatchProxyUser(const std::vector<std::string>& entries, const ProxyCredentials& credentials,
                    const std::string& local_dotted, uint16_t local_port, int64_t local_seconds,
                    std::string& user);

class ProxyUsers {
 public:
  // Files and the clock from `env`; list warnings to `log`; the reports of
  // invalid Base64 characters to `console` only.
  ProxyUsers(Env& env, Log& log, Console& console) : env_(env), log_(log), console_(console) {}
  ProxyUsers(const ProxyUsers&) = delete;
  ProxyUsers& operator=(const ProxyUsers&) = delete;

  // True when the user of `credentials` may use the proxy now through the
  // local address and port of `client`. `list` is (re)loaded from
  // `file_name`; a missing or empty file refuses everybody.
  bool CheckProxyUser(const SocketVar& client, std::string_view credentials, std::string& user,
                      AddressList& list, const std::string& file_name);
  // The same for a connection that reached `local_dotted`:`local_port`.
  bool CheckProxyUser(const std::string& local_dotted, uint16_t local_port,
                      std::string_view credentials, std::string& user, AddressList& list,
                      const std::string& file_name);

 private:
  Env& env_;
  Log& log_;
  Console& console_;
};

}  // namespace netrove
