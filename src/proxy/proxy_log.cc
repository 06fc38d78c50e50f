// The proxy request log.
#include "proxy/proxy_log.h"

#include <cstdio>

#include "runtime/clock.h"
#include "runtime/text.h"

namespace netrove {

bool ProxyLog::OpenProxyLog() {
  const std::string path = config_.Current()->proxy_log;
  std::lock_guard<std::mutex> lock(mu_);
  file_.reset();
  if (!path.empty()) file_ = env_.OpenForWriting(path, Env::OpenMode::kAppend, 0644);
  return file_ != nullptr;
}

void ProxyLog::CloseProxyLog() {
  std::lock_guard<std::mutex> lock(mu_);
  if (file_) (void)file_->Close();
  file_.reset();
}

bool ProxyLog::IsOpen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return file_ != nullptr;
}

std::string ProxyLog::FormatLine(uint32_t peer_address, std::string_view request_text,
                                 std::string_view user, int64_t local_seconds) {
  const LocalDateTime t = BreakDownLocal(local_seconds);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d/%02d/%04d %02d:%02d:%02d", t.day, t.month, t.year,
                t.hour, t.minute, t.second);
  // A decoded request may hold line ends or quotes of a hostile client;
  // control bytes become "?" so that one request stays one line.
  std::string text = UrlDecode(request_text);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return DottedAddress(peer_address) + " - " + std::string(user) + " [" + stamp + "] \"" + text +
         "\"";
}

void ProxyLog::WriteProxyLogLine(const SocketVar& client, std::string_view request_text,
                                 std::string_view user) {
  WriteProxyLogLine(GetPeerAddress(client.handle()), request_text, user);
}

void ProxyLog::WriteProxyLogLine(uint32_t peer_address, std::string_view request_text,
                                 std::string_view user) {
  std::string line = FormatLine(peer_address, request_text, user, env_.LocalSeconds()) + "\n";
  std::lock_guard<std::mutex> lock(mu_);
  if (file_ && !file_->Append(line)) file_.reset();  // a failing disk turns the log off
}

}  // namespace netrove
