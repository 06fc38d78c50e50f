// The POP3 gate's session: the access decision, the USER line, the choice
// of the server, the USER exchange with it (RFC 1939 section 7: USER may be
// answered "-ERR" and sent again) and the relay of the rest.
#include "mail/pop3_gate.h"

#include <optional>
#include <string>
#include <string_view>

#include "net/line_protocol.h"
#include "runtime/text.h"

namespace netrove {

struct Pop3Gate::Core {
  Core(Network& n, Log& l, ConfigStore& c, LocalPop3Session session, LocalPop3Port port,
       const Pop3GateOptions& o)
      : net(n),
        log(l),
        config(c),
        local_session(std::move(session)),
        local_port(std::move(port)),
        options(o) {}

  uint32_t Session(SocketVar& client);
  void Relay(SocketVar& client, LineChannel& client_lines, SocketVar& server,
             const std::string& user_line);

  Network& net;
  Log& log;
  ConfigStore& config;
  const LocalPop3Session local_session;
  const LocalPop3Port local_port;
  const Pop3GateOptions options;
  AddressList clients;
};

namespace {

bool IsThisComputer(const std::string& host) {
  if (EqualsNoCase(host, "LOCALHOST")) return true;
  const std::string own = ComputerName();
  return !own.empty() && EqualsNoCase(host, own);
}

// "USER name@host": the line forwarded ("USER name") and the server; the
// last "@" splits, so "a@b@host" logs in as "a@b". Nothing when the line
// is not a USER command.
struct UserLogin {
  std::string line;
  std::string target;
};
std::optional<UserLogin> ParseUserLine(std::string_view line, const std::string& provider) {
  if (!StartsWithNoCase(line, "USER ")) return std::nullopt;
  const size_t at = line.rfind('@');
  if (at == std::string_view::npos) return UserLogin{std::string(line), provider};
  return UserLogin{std::string(line.substr(0, at)), std::string(line.substr(at + 1))};
}

}  // namespace

uint32_t Pop3Gate::Core::Session(SocketVar& client) {
  const std::string provider = config.Current()->pop3;
  if (!net.access().ClientAllowed(client, clients) || provider.empty() ||
      EqualsNoCase(provider, "LOCALHOST")) {
    if (client.is_open() && local_session) local_session(client);
    return 0;
  }
  LineChannel client_lines(client, net.env(),
                           LineLimits{.max_line = options.max_user_line,
                                      .deadline_ms = options.user_line_ms,
                                      .max_reply_lines = 1});
  if (!client_lines.SendLine(kPop3GateGreeting)) return 0;
  std::string line;
  std::optional<UserLogin> login;
  if (client_lines.ReadLine(line) == LineChannel::Read::kLine && !client_lines.cut())
    login = ParseUserLine(line, provider);
  if (!login) {  // no USER first, an overlong line, silence or the close
    CloseSocketVar(client);
    return 0;
  }

  const uint16_t local = local_port ? local_port() : 0;
  if (local != 0 && IsThisComputer(login->target)) {
    // The local server needs no link; it is reached at its own port only.
    SocketVar server = net.connector().Connect("127.0.0.1", local);
    Relay(client, client_lines, server, login->line);
    return 0;
  }
  LinkUse link(net.link_users(), &client);
  if (!link.held()) return 0;  // the client has gone
  SocketVar server = ConnectOutside(net, client, login->target, kPop3GatePort);
  Relay(client, client_lines, server, login->line);
  return 0;
}

// The greeting is read and dropped, USER goes out, replies are read until
// one accepts it (a server may refuse and still accept a later USER; the
// client is not told of refusals); then the client is asked for its
// password and both sides are relayed. Any failure closes both without a
// reply to the client.
void Pop3Gate::Core::Relay(SocketVar& client, LineChannel& client_lines, SocketVar& server,
                           const std::string& user_line) {
  LineChannel server_lines(
      server, net.env(),
      LineLimits{.max_line = 4096, .deadline_ms = options.server_reply_ms, .max_reply_lines = 1});
  bool accepted = false;
  if (server.is_open() && server_lines.ReadReply(ReplyStyle::kPop3) &&
      server_lines.SendLine(user_line)) {
    for (int i = 0; i < options.max_server_replies && !accepted; ++i) {
      std::optional<LineReply> reply = server_lines.ReadReply(ReplyStyle::kPop3);
      if (!reply) break;
      accepted = reply->positive;
    }
  }
  if (accepted && client_lines.SendLine(kPop3GateSendPassword)) {
    RelaySockets(client, server);
    return;
  }
  CloseSocketVar(server);
  CloseSocketVar(client);
}

Pop3Gate::Pop3Gate(Network& net, Log& log, ConfigStore& config, LocalPop3Session local_session,
                   LocalPop3Port local_port, Pop3GateOptions options)
    : net_(net),
      config_(config),
      core_(std::make_shared<Core>(net, log, config, std::move(local_session),
                                   std::move(local_port), options)) {}

Pop3Gate::~Pop3Gate() { Stop(); }

bool Pop3Gate::Start() {
  return listener_.Open([this](SocketVar& listener) {
    // The gate listens even without its list: everyone then gets the local server.
    (void)LoadAddressList(net_.env(), core_->log, kPop3GateListFile, core_->clients, true);
    net_.ports().ListenTcp(
        core_->options.port, listener,
        [core = core_](SocketVar& client) { return core->Session(client); },
        config_.Current()->hide_pop3);
  });
}

void Pop3Gate::Stop() { listener_.Close(); }

bool Pop3Gate::Running() const { return listener_.IsOpen(); }

}  // namespace netrove
