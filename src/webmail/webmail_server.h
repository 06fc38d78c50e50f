// The web mail server: requests for the host "mail" that the proxy hands
// over. Files of the template directory are served as they are; pages
// (an extension with "htm") go through the token engine, logged in to the
// local POP3 server with the browser's Basic credentials (realm "MailBox
// authentication"). The folder and the favourites group live in the
// cookie ("&B=<folder>&F=<group>"); nothing else outlives a request.
//
// Thread safety: HandleWebMailRequest may run in many tasks at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mail_store.h"
#include "net/network.h"
#include "proxy/replies.h"

namespace netrove {

inline constexpr char kWebMailRealm[] = "MailBox authentication";
inline constexpr char kTemplateDirectory[] = "mymail";
inline constexpr size_t kMaxWebMailPost = 60000;

// The value of a header line: `name` in lower case with its colon
// ("referer:"), compared without regard to case after a LF; the text up
// to the next CR, trimmed; "" when absent.
std::string GetHeaderValue(std::string_view name, std::string_view request);

struct WebMailOptions {
  // The template directories: the first one that exists serves.
  std::vector<std::string> template_dirs = {kTemplateDirectory};
  // How long the POST body and each POP3 reply may take.
  int64_t read_ms = 60000;
};

class WebMailServer {
 public:
  // `local_pop3_port` gives the local POP3 server's port (0: not running).
  WebMailServer(Network& net, std::shared_ptr<MailStore> store,
                std::function<uint16_t()> local_pop3_port,
                WebMailOptions options = WebMailOptions());

  // Answers one request (request line and header lines, each with CR LF)
  // and closes the client.
  void HandleWebMailRequest(SocketVar& client, const std::string& request);

 private:
  Network& net_;
  const std::shared_ptr<MailStore> store_;
  const std::function<uint16_t()> local_pop3_port_;
  const WebMailOptions options_;
  ProxyReplies replies_;
};

}  // namespace netrove
