// The proxy's own replies.
#include "proxy/replies.h"

#include <algorithm>
#include <memory>

#include "runtime/clock.h"

namespace netrove {
namespace {

constexpr size_t kFileBlock = 512;
constexpr size_t kDrainRead = 100;

void SendText(SocketVar& client, std::string_view text) {
  if (client.is_open()) (void)SendBuffer(client, text.data(), text.size());
}

}  // namespace

std::string PageFooter() {
  return "<HR><I><A HREF=\"" + std::string(kProductHomePage) +
         "\">Netrove</A> proxy server</I></BODY></HTML>\r\n";
}

std::string HttpDate(int64_t utc_seconds) {
  // Broken down without an offset: UTC seconds give UTC fields.
  return HeaderDateText(utc_seconds, "GMT");
}

void ProxyReplies::SendPage(SocketVar& client, std::string_view header, std::string_view body) {
  std::string head(header);
  head += "Last-Modified: " + HttpDate(UtcFromLocalSeconds(env_, env_.LocalSeconds())) + "\r\n";
  head += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  SendText(client, head);
  SendText(client, body);
  CloseSocketVar(client);
}

void ProxyReplies::Drain(SocketVar& client) {
  const int64_t end = env_.MonotonicMs() + drain_.max_ms;
  size_t drained = 0;
  char buffer[kDrainRead];
  while (client.is_open() && drained < drain_.max_bytes) {
    int64_t left = end - env_.MonotonicMs();
    if (left <= 0) break;
    SocketWait wait{.socket = &client};
    if (WaitReadable({&wait, 1}, std::min(drain_.silence_ms, left)) != 1) break;
    // A client that has said all it will still reads the page.
    if (PeerEndedSending(client)) break;
    int n = ReadBuffered(client, buffer, std::min(kDrainRead, drain_.max_bytes - drained));
    if (n < 1) break;
    drained += static_cast<size_t>(n);
  }
}

void ProxyReplies::SendErrorPage(SocketVar& client, std::string_view message) {
  Drain(client);
  SendPage(client, kNotFoundHeader,
           std::string(kNotFoundPageHead) + std::string(message) + PageFooter());
}

void ProxyReplies::SendProxyAuthRequired(SocketVar& client) {
  SendPage(client, kAuthRequiredHeader,
           std::string(kNotFoundPageHead) + std::string(kProxyAuthErrorMessage) + PageFooter());
}

void ProxyReplies::SendSkippedUrl(SocketVar& client) {
  SendText(client, kSkippedHeader);
  CloseSocketVar(client);
}

void ProxyReplies::SendUnauthorized(SocketVar& client, std::string_view realm) {
  std::string header(kUnauthorizedHeader);
  if (!realm.empty()) header += " realm=\"" + std::string(realm) + "\"";
  header += "\r\n";
  SendPage(client, header, std::string(kUnauthorizedPageHead) + PageFooter());
}

void ProxyReplies::SendFileReply(SocketVar& client, std::string_view header,
                                 const std::string& path) {
  std::unique_ptr<ReadableFile> file = env_.OpenForReading(path);
  if (!file) {
    SendErrorPage(client, kFileNotFoundMessage);
    return;
  }
  const FileInfo info = file->Info();
  std::string head(header);
  head += "Last-Modified: " + HttpDate(info.mtime_ns / 1000000000) + "\r\n";
  head += "Content-Length: " + std::to_string(info.size) + "\r\n\r\n";
  SendText(client, head);
  // No more than the size announced, should the file grow meanwhile.
  uint64_t left = info.size;
  char block[kFileBlock];
  while (left > 0 && client.is_open()) {
    int64_t n = file->Read(block, static_cast<size_t>(std::min<uint64_t>(kFileBlock, left)));
    if (n <= 0 || !SendBuffer(client, block, static_cast<size_t>(n))) break;
    left -= static_cast<uint64_t>(n);
  }
  CloseSocketVar(client);
}

}  // namespace netrove
