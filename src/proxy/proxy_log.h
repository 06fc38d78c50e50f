// The proxy request log: one line per request that passes the filters, in
// the file named by PROXYLOG, opened at service start and closed at stop.
//
// Thread safety: every member may be called from any task; a lock keeps
// each line whole.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "config/config.h"
#include "net/socket.h"
#include "runtime/env.h"

namespace netrove {

class ProxyLog {
 public:
  ProxyLog(Env& env, ConfigStore& config) : env_(env), config_(config) {}
  ProxyLog(const ProxyLog&) = delete;
  ProxyLog& operator=(const ProxyLog&) = delete;

  // Opens the PROXYLOG file for appending (created when missing). A file
  // that cannot be opened turns the log off until the next open; nothing
  // else is affected. Returns whether the log is on.
  bool OpenProxyLog();
  void CloseProxyLog();
  bool IsOpen() const;

  // "<peer> - <user> [dd/mm/yyyy hh:mm:ss] "<request text, URL-decoded>"".
  void WriteProxyLogLine(const SocketVar& client, std::string_view request_text,
                         std::string_view user);
  void WriteProxyLogLine(uint32_t peer_address, std::string_view request_text,
                         std::string_view user);

  // The line without its end, for a given local time (seconds since 1970
  // counted in local time).
  static std::string FormatLine(uint32_t peer_address, std::string_view request_text,
                                std::string_view user, int64_t local_seconds);

 private:
  Env& env_;
  ConfigStore& config_;
  mutable std::mutex mu_;
  std::unique_ptr<WritableFile> file_;  // guarded by mu_
};

}  // namespace netrove
