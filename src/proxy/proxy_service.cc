#include "proxy/proxy_service.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "net/address_list.h"
#include "proxy/cache_codec.h"
#include "proxy/cache_entry.h"
#include "proxy/cache_policy.h"
#include "proxy/cache_purge.h"
#include "proxy/cache_revalidate.h"
#include "proxy/chunked.h"
#include "proxy/ftp_over_http.h"
#include "proxy/http_head.h"
#include "proxy/proxy_log.h"
#include "proxy/proxy_request.h"
#include "proxy/proxy_users.h"
#include "proxy/replies.h"
#include "proxy/skip_urls.h"
#include "proxy/url_filters.h"
#include "runtime/program.h"
#include "runtime/text.h"

namespace netrove {
namespace {

// Body bytes are accounted in blocks of this size; blocks already waiting
// behind the first go out with it, up to kBatch bytes in one send.
constexpr size_t kBlock = 512;
constexpr size_t kBatch = 32 * kBlock;
constexpr std::string_view kFailureHeader = "HTTP/1.0 404 ERROR (D+)\r\n\r\n";
// Asks the next hop to end the connection after its answer: a connection
// handed over whole (a POST) must not outlive its one request.
constexpr std::string_view kCloseLine = "Connection: close\r\n";

// What the client tasks need of a start; replaced whole by the next start.
struct ProxySettings {
  std::string cache_dir;  // absolute, ends with "/"
  bool upstream_is_self = false;
  uint16_t relay_port = 0;
  std::string relay_line;  // the relay's secret line with CR LF
};

// The status code of a status line ("HTTP/1.0 200 OK" gives 200), 0 when
// there is none.
int StatusCode(std::string_view status_line) {
  const size_t space = status_line.find(' ');
  if (space == std::string_view::npos || status_line.size() < space + 4) return 0;
  int code = 0;
  for (char c : status_line.substr(space + 1, 3)) {
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
  }
  return code;
}

// The host of a cache path: the name of the directory holding the file,
// without "..." and what follows (the port).
std::string UpstreamHostOf(const std::string& cache_path) {
  std::string host =
      cache_path.find('/') == std::string::npos ? cache_path : DirectoryOf(cache_path);
  host.erase(0, host.rfind('/') + 1);
  if (size_t dots = host.find("..."); dots != std::string::npos) host.erase(dots);
  if (size_t colon = host.find(':'); colon != std::string::npos) host.erase(colon);
  return host;
}

// The framing of a response body as the client will read it.
struct BodyFraming {
  bool none = false;               // HEAD, 204, 304, a redirect without a framed body
  bool chunked = false;            // Transfer-Encoding: chunked
  std::optional<uint64_t> length;  // Content-Length; neither: until the close
};

}  // namespace

struct ProxyService::Core {
  Core(Network& n, Log& l, Console& console, ConfigStore& c, ProxyServiceOptions o)
      : net(n),
        log(l),
        config(c),
        options(std::move(o)),
        replies(n.env(), options.relay.drain),
        users(n.env(), l, console),
        filters(n.env(), replies),
        proxy_log(n.env(), c),
        ftp(std::make_shared<FtpOverHttp>(n)),
        settings(std::make_shared<const ProxySettings>()) {}

  std::shared_ptr<const ProxySettings> Settings() const {
    std::lock_guard<std::mutex> lock(mu);
    return settings;
  }
  void SetSettings(std::shared_ptr<const ProxySettings> s) {
    std::lock_guard<std::mutex> lock(mu);
    settings = std::move(s);
  }

  uint32_t HandleProxyClient(SocketVar& client);

  Network& net;
  Log& log;
  ConfigStore& config;
  const ProxyServiceOptions options;
  ProxyReplies replies;
  ProxyUsers users;
  ProxyFilters filters;
  ProxyLog proxy_log;
  SkipUrlList skip;
  AddressList clients, user_list, ftp_user_list;
  std::atomic<uint32_t> net_bytes{0};
  std::atomic<uint32_t> cache_bytes{0};
  // ftp:// GETs through the relay; their tasks share it (resume files).
  const std::shared_ptr<FtpOverHttp> ftp;

  // Owned by the service's Start and Stop (one thread).
  std::unique_ptr<HttpRelay> relay;
  std::unique_ptr<ProxyCachePurge> purge;
  TaskHandle skip_task;

 private:
  mutable std::mutex mu;
  std::shared_ptr<const ProxySettings> settings;  // guarded by mu
};

namespace {

// One client connection: its requests one after another, with the
// upstream connection kept between them.
class ProxyConnection {
 public:
  ProxyConnection(ProxyService::Core& core, SocketVar& client)
      : core_(core), client_(client), env_(core.net.env()), settings_(core.Settings()) {}
  ~ProxyConnection() { CloseSocketVar(upstream_.socket); }

  // One request; true when the connection may carry another.
  bool ServeRequest();

 private:
  bool Answer(const ProxyRequest& request);
  void ServeLocalPage(const std::string& request_line, HeadReader& reader);
  bool RefusedTunnel(const ProxyRequest& request);
  Upstream OpenUpstream(const std::string& cache_path);
  bool SendRequest(const ProxyRequest& request, std::string_view extra);
  bool Fetch(const ProxyRequest& request, bool may_use_copy);
  bool Respond(const std::string& header, BodyFraming framing, const ProxyRequest& request,
               bool may_use_copy);
  bool RelayBody(BodyFraming framing, std::unique_ptr<CacheEntryWriter> entry, bool is_private);
  bool ServeFromCache(OpenEntry& entry);
  bool Failure(const ProxyRequest& request, bool may_use_copy);

  ProxyService::Core& core_;
  SocketVar& client_;
  Env& env_;
  const std::shared_ptr<const ProxySettings> settings_;
  std::shared_ptr<const ConfigRecord> config_;
  Upstream upstream_;
};

bool ProxyConnection::ServeRequest() {
  config_ = core_.config.Current();
  HeadReader reader(client_, env_, core_.options.header_deadline_ms);
  std::string line;
  if (!reader.Next(line)) return false;
  const ProxyRequestLine parsed = ParseProxyRequestLine(line);
  if (parsed.kind == ProxyRequestLine::Kind::kClose) return false;
  if (parsed.kind == ProxyRequestLine::Kind::kLocalPage) {
    ServeLocalPage(parsed.line, reader);
    return false;
  }
  ProxyHeadRewriter head(parsed);
  while (head.state() == ProxyHeadRewriter::State::kMore) {
    if (!reader.Next(line)) return false;
    (void)head.AddLine(line);
  }
  std::optional<ProxyRequest> request =
      FinishProxyRequest(parsed, head, config_->proxy_auth_string, settings_->cache_dir);
  if (!request) return false;

  std::string user;
  bool admitted = core_.users.CheckProxyUser(client_, request->credentials, user, core_.user_list,
                                             kProxyUsersFile);
  if (admitted && request->is_ftp)
    admitted = core_.users.CheckProxyUser(client_, request->credentials, user, core_.ftp_user_list,
                                          kProxyFtpUsersFile);
  if (!admitted) {
    (void)TaskSleep(core_.options.auth_failure_delay_ms);
    core_.replies.SendProxyAuthRequired(client_);
    return false;
  }
  if (core_.filters.FilesBadCheck(request->file_name, client_) ||
      core_.filters.UrlBadCheck(request->url, client_))
    return false;
  core_.proxy_log.WriteProxyLogLine(client_, parsed.log_text, user);
  if (parsed.method == ProxyMethod::kConnect && RefusedTunnel(*request)) return false;

  // Every request that may fetch holds the link once, to its end.
  LinkUse link(core_.net.link_users(), &client_);
  if (!link.held()) return false;  // the client has gone
  if (parsed.method == ProxyMethod::kConnect || parsed.method == ProxyMethod::kPost) {
    // Handed over whole: the tunnel, or the body and the answer of a POST.
    if (!SendRequest(*request, parsed.method == ProxyMethod::kPost ? kCloseLine : ""))
      return Failure(*request, false);
    RelaySockets(client_, upstream_.socket);
    return false;
  }
  return Answer(*request);
}

// A tunnel to one of this program's own listening ports on this machine
// would reach our services as a local client (our SMTP server as
// 127.0.0.1, say): refused with the error page.
bool ProxyConnection::RefusedTunnel(const ProxyRequest& request) {
  std::optional<HostTarget> target = ParseHostText(request.host, 443);
  if (!target) return false;
  const uint32_t address = core_.net.resolver().Resolve(target->name);
  if (address == kNoAddress || !IsOwnAddress(address) ||
      !core_.net.ports().IsTcpListenerPort(target->port))
    return false;
  core_.replies.SendErrorPage(client_, kHostConnectionErrorMessage);
  return true;
}

// The cache decision: the SkipUrlList shortcut, a fresh static object
// served unchecked, one revalidation, or a fetch.
bool ProxyConnection::Answer(const ProxyRequest& request) {
  const bool use_cache = request.cacheable() && !request.no_store;
  if (!use_cache) return Fetch(request, false);
  const std::string& path = request.cache_path;
  if (core_.skip.Contains(path)) {
    if (std::optional<OpenEntry> entry = OpenCacheEntry(env_, path)) return ServeFromCache(*entry);
  }
  std::optional<OpenEntry> candidate = OpenCacheEntry(env_, path);
  if (candidate && !IsCacheCandidate(candidate->header)) candidate.reset();
  if (candidate &&
      ServableWithoutCheck(candidate->header, candidate->size, request.file_name, path)) {
    if (!request.is_private) core_.skip.Add(path);
    return ServeFromCache(*candidate);
  }
  if (candidate) {
    candidate.reset();
    auto opener = [this](const std::string& cache_path) { return OpenUpstream(cache_path); };
    if (RevalidateEntry(env_, path, opener, core_.net_bytes)) {
      if (std::optional<OpenEntry> entry = OpenCacheEntry(env_, path)) {
        if (!request.is_private) core_.skip.Add(path);
        return ServeFromCache(*entry);
      }
    }
  }
  return Fetch(request, true);
}

// A request addressed to the proxy as a web server: its header lines are
// read whole, then the host decides.
void ProxyConnection::ServeLocalPage(const std::string& request_line, HeadReader& reader) {
  std::string text = request_line + "\r\n", line;
  std::optional<std::string> host;  // of the first Host line, without the port
  bool complete = false;
  while (reader.Next(line)) {
    text += line + "\r\n";
    if (std::optional<std::string_view> value = HeaderValue(line, "Host"); value && !host)
      host = LowerAscii(value->substr(0, value->find(':')));
    if (line.empty()) {
      complete = true;
      break;
    }
  }
  if (!complete) return;
  if (host && *host == "mail" && core_.options.web_mail) {
    core_.options.web_mail(client_, text);
  } else {
    core_.replies.SendErrorPage(client_, kWrongHostMessage);
  }
}

// The upstream proxy named by PROXY while on-line, the direct relay for
// ourselves and local host names, and the relay when the upstream proxy
// cannot be reached.
Upstream ProxyConnection::OpenUpstream(const std::string& cache_path) {
  Upstream upstream;
  const std::string relay = "127.0.0.1:" + std::to_string(settings_->relay_port);
  const std::string host = UpstreamHostOf(cache_path);
  std::string target = relay;
  if (!settings_->upstream_is_self && !core_.net.access().IsLocalHostName(host)) {
    if (core_.net.shared().link_mode.load() != kLinkOnline) return upstream;
    target = config_->proxy;
  }
  if (target != relay) upstream.socket = core_.net.connector().Connect(target, kProxyPort);
  if (!upstream.socket.is_open() && settings_->relay_port != 0) {
    upstream.socket = core_.net.connector().Connect(relay, kProxyPort);
    upstream.extra_lines = settings_->relay_line;
  }
  return upstream;
}

// Sends the request on the kept upstream connection, or on a new one; a
// send that fails is tried once more on a new connection.
bool ProxyConnection::SendRequest(const ProxyRequest& request, std::string_view extra) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!upstream_.socket.is_open()) {
      upstream_ = OpenUpstream(request.cache_path);
      if (!upstream_.socket.is_open()) return false;
    }
    const std::string text =
        WithLinesAfterRequestLine(request.text, upstream_.extra_lines + std::string(extra));
    if (SendBuffer(upstream_.socket, text.data(), text.size())) return true;
    CloseSocketVar(upstream_.socket);
  }
  return false;
}

bool ProxyConnection::Fetch(const ProxyRequest& request, bool may_use_copy) {
  const bool head_request = StartsWithNoCase(request.text, "HEAD ");
  // An answer that is not HTTP/1 (a stale kept connection, a confused
  // upstream) is asked for once more on a new connection, not again.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!SendRequest(request, "")) return Failure(request, may_use_copy);
    HeadReader reader(upstream_.socket, env_, core_.options.header_deadline_ms);
    std::string status, line;
    if (!reader.Next(status) || !StartsWithNoCase(status, "HTTP/1")) {
      CloseSocketVar(upstream_.socket);
      continue;
    }
    std::string header = status + "\r\n";
    ResponseHeadFacts facts;
    for (;;) {
      if (!reader.Next(line)) {
        CloseSocketVar(upstream_.socket);
        return Failure(request, may_use_copy);
      }
      // Validators are of no use to clients whose own validators are dropped.
      if (StartsWithNoCase(line, "ETag:")) continue;
      NoteResponseHeader(line, facts);
      header += line + "\r\n";
      if (line.empty()) break;
    }
    BodyFraming framing;
    const bool length_known = facts.has_length && !facts.bad_length;
    framing.none = head_request || StatusHasNoBody(status) ||
                   (StatusIsRedirect(status) && !facts.chunked && !length_known);
    framing.chunked = facts.chunked;
    if (length_known && !facts.chunked) framing.length = static_cast<uint64_t>(facts.length);
    return Respond(header, framing, request, may_use_copy);
  }
  return Failure(request, may_use_copy);
}

// The answer's header is in: stored and relayed, or replaced by a cached
// copy when the fetch did not give the object.
bool ProxyConnection::Respond(const std::string& header, BodyFraming framing,
                              const ProxyRequest& request, bool may_use_copy) {
  core_.net_bytes += static_cast<uint32_t>(header.size());
  const std::string_view status(header.data(), header.find('\r'));
  const int code = StatusCode(status);
  const bool found = code == 200 || code == 301 || code == 302;
  if (!found && may_use_copy) {
    if (std::optional<OpenEntry> entry = OpenCacheEntry(env_, request.cache_path)) {
      CloseSocketVar(upstream_.socket);  // its body is not wanted
      return ServeFromCache(*entry);
    }
  }
  std::unique_ptr<CacheEntryWriter> entry;
  if (found && request.cacheable() && !request.no_store && !framing.none &&
      IsStorableResponse(header)) {
    bool html = ContainsNoCase(header, " text/html") || header.find(" */*") != std::string::npos;
    if (code != 200) html = false;
    if (request.is_private) html = true;
    entry = CreateCacheEntry(env_, request.cache_path, ComputeValidator(header).value_or(0), html,
                             request.text, header);
  }
  if (!SendBuffer(client_, header.data(), header.size())) {
    CloseSocketVar(upstream_.socket);
    return false;
  }
  if (!upstream_.socket.is_open()) {  // the failure reply: nothing follows it
    CloseSocketVar(client_);
    return false;
  }
  return RelayBody(framing, std::move(entry), request.is_private);
}

// The body from upstream to the client (and into the entry while storing).
bool ProxyConnection::RelayBody(BodyFraming framing, std::unique_ptr<CacheEntryWriter> entry,
                                bool is_private) {
  if (framing.none) return client_.is_open();
  char buffer[kBatch];
  std::optional<uint64_t> remaining = framing.length;
  ChunkedFramer chunks;
  bool complete = !framing.chunked && !framing.length;  // until the close: no end to miss
  bool failed = false;
  while (client_.is_open() && (!remaining || *remaining > 0)) {
    size_t want = remaining ? std::min<uint64_t>(*remaining, kBatch) : kBatch;
    // A chunked body is read up to the end of its chunk data, then a byte
    // at a time, so that nothing after its end is taken.
    if (framing.chunked) want = std::clamp<uint64_t>(chunks.DataWanted(), 1, kBatch);
    const int n = ReadBufferedGather(upstream_.socket, buffer, want);
    if (n < 1) {
      failed = !complete;
      break;
    }
    const size_t count = static_cast<size_t>(n);
    core_.net_bytes += static_cast<uint32_t>(count);
    if (remaining) *remaining -= count;
    if (entry && !entry->AppendBody({buffer, count})) entry.reset();
    if (!SendBuffer(client_, buffer, count)) {
      CloseSocketVar(upstream_.socket);
      failed = true;
      break;
    }
    if (framing.chunked) {
      ChunkedFramer::Result r = chunks.Feed(buffer, count);
      if (r == ChunkedFramer::Result::kError) {
        failed = true;
        break;
      }
      if (r == ChunkedFramer::Result::kDone) {
        complete = true;
        break;
      }
    }
  }
  if (remaining && *remaining == 0) complete = true;
  if (entry)
    (void)FinishCacheEntry(std::move(entry), framing.length, failed, is_private, core_.skip);
  if (!complete || failed) {
    // The client can only tell a cut body by the close.
    CloseSocketVar(upstream_.socket);
    CloseSocketVar(client_);
    return false;
  }
  // A body that ended with the upstream's close ended the client's too.
  return client_.is_open() && (framing.chunked || framing.length);
}

// The stored response header and body, positioned after the stored request.
// The connection goes on only when the stored header frames its body.
bool ProxyConnection::ServeFromCache(OpenEntry& entry) {
  std::unique_ptr<char[]> buffer(new char[kBatch]);
  uint64_t skip = entry.header.request_length;
  while (skip > 0) {
    const int64_t n = entry.file->Read(buffer.get(), std::min<uint64_t>(skip, kBatch));
    if (n < 1) {
      CloseSocketVar(client_);
      return false;
    }
    skip -= static_cast<uint64_t>(n);
  }
  std::string head;
  for (;;) {
    const int64_t n = entry.file->Read(buffer.get(), kBatch);
    if (n < 0) {
      CloseSocketVar(client_);
      return false;
    }
    if (n == 0) break;
    if (head.size() < entry.header.header_length)
      head.append(buffer.get(), std::min<size_t>(static_cast<size_t>(n),
                                                 entry.header.header_length - head.size()));
    core_.cache_bytes += static_cast<uint32_t>(n);
    if (!SendBuffer(client_, buffer.get(), static_cast<size_t>(n))) return false;
  }
  ResponseHeadFacts facts;
  for (size_t start = 0, end; (end = head.find("\r\n", start)) != std::string::npos;
       start = end + 2)
    NoteResponseHeader(std::string_view(head).substr(start, end - start), facts);
  if (!facts.chunked && !(facts.has_length && !facts.bad_length)) CloseSocketVar(client_);
  return client_.is_open();
}

// "HTTP/1.0 404 ERROR (D+)", or the cached copy when there is one to use.
bool ProxyConnection::Failure(const ProxyRequest& request, bool may_use_copy) {
  CloseSocketVar(upstream_.socket);
  return Respond(std::string(kFailureHeader), BodyFraming{true, false, std::nullopt}, request,
                 may_use_copy);
}

}  // namespace

uint32_t ProxyService::Core::HandleProxyClient(SocketVar& client) {
  if (!net.access().CheckClientOrDeny(client, clients)) return 0;
  ProxyConnection connection(*this, client);
  while (connection.ServeRequest() && client.is_open()) {
    SocketWait wait{&client};
    wait.want_except = true;
    if (WaitReadable({&wait, 1}, options.keep_alive_ms) != 1 || !wait.readable || wait.exceptional)
      break;
  }
  CloseSocketVar(client);
  return 0;
}

ProxyService::ProxyService(Network& net, Log& log, Console& console, ConfigStore& config,
                           ProxyServiceOptions options)
    : net_(net),
      config_(config),
      core_(std::make_shared<Core>(net, log, console, config, std::move(options))) {}

ProxyService::~ProxyService() { StopProxyService(); }

bool ProxyService::StartProxyService() {
  return listener_.Open([this](SocketVar& listener) {
    std::shared_ptr<const ConfigRecord> config = config_.Current();
    if (config->proxy.empty()) return;
    if (!LoadAddressList(net_.env(), core_->log, kProxyListFile, core_->clients, true)) return;
    core_->net_bytes = 0;
    core_->cache_bytes = 0;
    core_->filters.LoadBadLists();

    auto settings = std::make_shared<ProxySettings>();
    settings->cache_dir = config->proxy_cache_dir.empty() ? "ProxyCache/" : config->proxy_cache_dir;
    if (!settings->cache_dir.ends_with('/')) settings->cache_dir += '/';
    if (!settings->cache_dir.starts_with('/'))
      settings->cache_dir = InProgramDirectory(settings->cache_dir);
    (void)MakeDirectoryTree(net_.env(),
                            settings->cache_dir.substr(0, settings->cache_dir.size() - 1));

    net_.ports().ListenTcp(
        core_->options.port, listener,
        [core = core_](SocketVar& client) { return core->HandleProxyClient(client); },
        config->hide_proxy);
    if (!listener.is_open()) return;

    core_->ftp->SetCacheDirectory(settings->cache_dir);
    if (!core_->relay) {
      RelayOptions relay = core_->options.relay;
      if (!relay.ftp) {
        relay.ftp = [ftp = core_->ftp](SocketVar& client, const std::string& url) {
          ftp->Serve(client, url);
        };
      }
      core_->relay = std::make_unique<HttpRelay>(net_, std::move(relay));
    }
    if (core_->relay->Start()) {
      settings->relay_port = core_->relay->RelayPort();
      settings->relay_line = core_->relay->SecretHeaderLine() + "\r\n";
    }
    const std::string upstream = UpperAscii(config->proxy);
    settings->upstream_is_self = upstream == "LOCALHOST" || upstream == UpperAscii(ComputerName());
    core_->purge = std::make_unique<ProxyCachePurge>(net_.env(), net_.tasks(), core_->log, config_,
                                                     settings->cache_dir);
    core_->purge->StartPurgeTask();
    if (!Tasks::Running(core_->skip_task))
      core_->skip_task = core_->skip.StartSkipUrlTask(net_.tasks());
    core_->SetSettings(std::move(settings));
    if (!config->proxy_log.empty()) (void)core_->proxy_log.OpenProxyLog();
  });
}

void ProxyService::StopProxyService() {
  listener_.Close([this] {
    if (core_->relay) core_->relay->Stop();
    if (core_->purge) core_->purge->StopPurgeTask();
    Tasks::Stop(core_->skip_task);
    core_->proxy_log.CloseProxyLog();
  });
}

bool ProxyService::Running() const { return listener_.IsOpen(); }

uint32_t ProxyService::ProxyNetBytes() const { return core_->net_bytes.load(); }
uint32_t ProxyService::ProxyCacheBytes() const { return core_->cache_bytes.load(); }
uint16_t ProxyService::RelayPort() const { return core_->Settings()->relay_port; }

}  // namespace netrove
