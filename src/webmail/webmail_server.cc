#include "webmail/webmail_server.h"

#include <charconv>

#include "net/line_protocol.h"
#include "proxy/proxy_users.h"
#include "runtime/text.h"
#include "webmail/template_engine.h"
#include "webmail/webmail_text.h"

namespace netrove {

namespace {

constexpr std::string_view kOkHeader = "HTTP/1.0 200 OK\r\nServer: Netrove\r\n";
constexpr std::string_view kRedirectHeader = "HTTP/1.0 302 Temporary moved\r\nServer: Netrove\r\n";
constexpr std::string_view kHtmlType = "Content-Type: text/html\r\n";
constexpr std::string_view kCookieExpiry = "; expires=Tue, 30-Dec-2099 23:59:59 GMT";
constexpr size_t kMaxTemplateBytes = 1024 * 1024;
// The most bytes of one message body the tokens read from the POP3 server.
constexpr size_t kMaxMessageBytes = 64 * 1024 * 1024;

// The local POP3 session of one request.
class Pop3Link final : public MailboxLink {
 public:
  Pop3Link(SocketVar& socket, Env& env, int64_t read_ms)
      : channel_(socket, env, LineLimits{.max_line = 4096, .deadline_ms = read_ms}) {}

  bool Command(std::string_view line, std::string& reply) override {
    reply.clear();
    return channel_.SendLine(line) && ReadLine(reply);
  }
  bool ReadLine(std::string& line) { return channel_.ReadLine(line) == LineChannel::Read::kLine; }
  bool ReadBody(const std::function<void(std::string_view line)>& sink) override {
    return channel_.ReadDotBody(kMaxMessageBytes, [&](std::string_view line) {
      sink(line);
      return true;
    }) == LineChannel::Body::kComplete;
  }
  void Quit() { (void)channel_.SendLine("QUIT"); }

 private:
  LineChannel channel_;
};

// The value of `key` ("&B=", "&F=") in the cookie text: up to the next "&"
// or ";", URL-decoded and trimmed.
std::string CookieValue(std::string_view cookie, std::string_view key) {
  const size_t at = cookie.find(key);
  if (at == std::string_view::npos) return "";
  std::string_view value = cookie.substr(at + key.size());
  value = value.substr(0, value.find_first_of("&;"));
  return Trim(UrlDecode(value));
}

// The host of a URL or an origin ("http://mail:3128/x" gives "mail",
// "http://mail@evil.example/" "evil.example").
std::string HostOf(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return "";
  std::string_view authority = url.substr(scheme + 3);
  authority = authority.substr(0, authority.find_first_of("/?#\\"));
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos)
    authority.remove_prefix(at + 1);
  return LowerAscii(authority.substr(0, authority.find(':')));
}

// A Content-Type for the files served as they are.
std::string_view FileType(std::string_view extension) {
  static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
      {"css", "text/css"},   {"png", "image/png"},     {"gif", "image/gif"},
      {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"},   {"ico", "image/x-icon"},
      {"txt", "text/plain"}, {"svg", "image/svg+xml"}, {"js", "text/javascript"}};
  for (const auto& [ext, type] : kTypes)
    if (ext == extension) return type;
  return "application/octet-stream";
}

}  // namespace

std::string GetHeaderValue(std::string_view name, std::string_view request) {
  const std::string lower = LowerAscii(request);
  const size_t at = lower.find("\n" + std::string(name));
  if (at == std::string::npos) return "";
  std::string_view value = request.substr(at + 1 + name.size());
  return Trim(value.substr(0, value.find('\r')));
}

WebMailServer::WebMailServer(Network& net, std::shared_ptr<MailStore> store,
                             std::function<uint16_t()> local_pop3_port, WebMailOptions options)
    : net_(net),
      store_(std::move(store)),
      local_pop3_port_(std::move(local_pop3_port)),
      options_(std::move(options)),
      replies_(net.env()) {}

void WebMailServer::HandleWebMailRequest(SocketVar& client, const std::string& request) {
  Env& env = net_.env();
  const std::string request_line = request.substr(0, request.find('\r'));
  WebMailRequest state;
  state.referer = GetHeaderValue("referer:", request);
  const std::string authorization = GetHeaderValue("authorization:", request);
  const std::string cookie = GetHeaderValue("cookie:", request);
  const std::string length_text = GetHeaderValue("content-length:", request);
  size_t length = 0;
  if (std::from_chars(length_text.data(), length_text.data() + length_text.size(), length).ec !=
      std::errc())
    length = 0;

  std::string password;
  if (!authorization.empty()) {
    const size_t blank = authorization.find(' ');
    const std::string decoded =
        DecodeBase64(blank == std::string::npos ? std::string_view(authorization)
                                                : std::string_view(authorization).substr(blank + 1))
            .data;
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos) return replies_.SendUnauthorized(client, kWebMailRealm);
    state.user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
  }

  const bool post = request_line.starts_with("POST ");
  if ((!post && !request_line.starts_with("GET ")) ||
      request_line.find(" HTTP/1") == std::string::npos)
    return replies_.SendErrorPage(client, kFileNotFoundMessage);
  if (post) {
    if (length < 1 || length > kMaxWebMailPost)
      return replies_.SendErrorPage(client, kFileNotFoundMessage);
    std::string body(length, '\0');
    size_t got = 0;
    const int64_t deadline = env.MonotonicMs() + options_.read_ms;
    while (got < length && env.MonotonicMs() < deadline) {
      const int n = ReadBuffered(client, body.data() + got, length - got);
      if (n < 1) break;
      got += static_cast<size_t>(n);
    }
    body.resize(got);
    state.form = "&" + body;
    // The action tokens act only for a page of our own host.
    const std::string origin = GetHeaderValue("origin:", request);
    state.trusted_post = HostOf(origin.empty() ? state.referer : origin) == "mail";
  }

  // The target: "/" and names below the template directory only.
  const size_t first = request_line.find(' ');
  std::string target =
      request_line.substr(first + 1, request_line.find(' ', first + 1) - first - 1);
  std::replace(target.begin(), target.end(), '\\', '/');
  if (target.find("//") != std::string::npos || target.find("./") != std::string::npos ||
      !target.starts_with('/') || (target.size() > 1 && target.ends_with('/')))
    return replies_.SendErrorPage(client, kFileNotFoundMessage);
  target.erase(0, 1);
  if (const size_t mark = target.find('?'); mark != std::string::npos) {
    state.query = target.substr(mark + 1);
    if (state.query.starts_with('=')) state.query.erase(0, 1);
    target.resize(mark);
  }
  if (target.empty()) target = "index.htm";

  std::string template_dir = options_.template_dirs.empty() ? "" : options_.template_dirs.back();
  for (const std::string& dir : options_.template_dirs) {
    if (std::optional<FileInfo> info = env.Stat(dir); info && info->is_directory) {
      template_dir = dir;
      break;
    }
  }
  std::optional<std::string> path = ResolveInside(env, template_dir, target);
  if (!path) return replies_.SendErrorPage(client, kFileNotFoundMessage);
  const size_t dot = path->rfind('.');
  const std::string extension =
      dot == std::string::npos || path->find('/', dot) != std::string::npos
          ? ""
          : LowerAscii(path->substr(dot + 1));
  if (extension.find("htm") == std::string::npos) {
    return replies_.SendFileReply(
        client,
        std::string(kOkHeader) + "Content-Type: " + std::string(FileType(extension)) + "\r\n",
        *path);
  }
  std::optional<std::string> text = env.ReadFile(*path, kMaxTemplateBytes);
  if (!text) return replies_.SendErrorPage(client, kFileNotFoundMessage);

  // The page text line by line; the lines with tokens are scanned for
  // what the page needs before any login.
  TemplateContext context{env, template_dir, "", nullptr};
  TemplateEngine scanner(context, state);
  std::string page;
  bool tokens = false;
  ForEachLine(*text, [&](std::string_view line) {
    page.append(line).append("\n");
    if (line.find("&&") != std::string_view::npos) {
      tokens = true;
      (void)scanner.RenderTemplate(line, true);
    }
  });
  if (!tokens)
    return replies_.SendPage(client, std::string(kOkHeader) + std::string(kHtmlType), page);
  // Without credentials no login can succeed: ask at once.
  if (state.user.empty() || password.empty())
    return replies_.SendUnauthorized(client, kWebMailRealm);

  const uint16_t port = local_pop3_port_ ? local_pop3_port_() : 0;
  SocketVar pop3;
  if (port != 0) pop3 = net_.connector().Connect("127.0.0.1", port);
  if (!pop3.is_open()) return replies_.SendErrorPage(client, kFileNotFoundMessage);
  Pop3Link link(pop3, env, options_.read_ms);
  std::string reply;
  (void)link.ReadLine(reply);
  (void)link.Command("USER " + HeaderSafe(state.user), reply);
  if (!link.Command("PASS " + HeaderSafe(password), reply) || !reply.starts_with('+')) {
    link.Quit();
    return replies_.SendUnauthorized(client, kWebMailRealm);
  }

  const std::string group = FavouritesGroupName(CookieValue(cookie, "&F="));
  state.group = group.empty() ? kDefaultFavouritesGroup : group;
  if (!state.folder) state.folder = CookieValue(cookie, "&B=");
  if (!state.folder->empty()) (void)link.Command("MAILBOX " + HeaderSafe(*state.folder), reply);
  if (link.Command("LIST", reply) && reply.starts_with('+')) {
    size_t count = 0;
    (void)link.ReadBody([&](std::string_view) { ++count; });
    state.message_count = static_cast<uint16_t>(std::min<size_t>(count, 65535));
  }

  context.user_directory = store_->MailboxOfLogin(UpperAscii(state.user), password);
  context.mailbox = &link;
  TemplateEngine engine(context, state);
  const std::string body = engine.RenderTemplate(page, false);

  const std::string folder = HeaderSafe(state.folder.value_or(""));
  const std::string cookie_line = "Set-Cookie: &B=" + (folder == "." ? "" : folder) +
                                  "&F=" + HeaderSafe(state.group) + std::string(kCookieExpiry) +
                                  "\r\n";
  if (!state.redirect.empty()) {
    replies_.SendPage(
        client, std::string(kRedirectHeader) + cookie_line + "Location: " + state.redirect + "\r\n",
        "");
  } else {
    replies_.SendPage(client, std::string(kOkHeader) + std::string(kHtmlType) + cookie_line, body);
  }
  link.Quit();
}

}  // namespace netrove
