// The NNTP gate's session: the access decision, the lines kept until the
// login, the choice of the server, the replay and the relay.
#include "gates/nntp_gate.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/line_protocol.h"
#include "runtime/text.h"

namespace netrove {

struct NntpGate::Core {
  Core(Network& n, ConfigStore& c, const NntpGateOptions& o) : net(n), config(c), options(o) {}

  uint32_t Session(SocketVar& client);

  Network& net;
  ConfigStore& config;
  const NntpGateOptions options;
  AddressList clients;
};

namespace {

constexpr std::string_view kLoginPrefix = "AUTHINFO USER ";
// The longest server line kept while reading a response; the rest of a
// longer line is dropped.
constexpr size_t kServerLineCap = 4096;
// Bodies are read and dropped; the cap only bounds one line in memory.
constexpr size_t kBodyCap = 65536;

bool IsLoginLine(std::string_view line) { return StartsWithNoCase(line, kLoginPrefix); }

// The commands answered kNntpLoginRequired before the login, and not
// replayed: POST and IHAVE would make the server wait for an article that
// never comes, and a reader asks CAPABILITIES again after its login.
bool NeedsLogin(std::string_view line) {
  const std::string text = Trim(line);
  const std::string_view word = std::string_view(text).substr(0, text.find(' '));
  for (std::string_view command : {"CAPABILITIES", "POST", "IHAVE"})
    if (word.size() == command.size() && StartsWithNoCase(word, command)) return true;
  return false;
}

// The login line as sent on (without "@server") and the server it names.
struct Login {
  std::string line;
  std::string target;
};
Login ParseLogin(const std::string& line, const std::string& provider) {
  const size_t at = line.rfind('@');
  if (at == std::string::npos || at < kLoginPrefix.size()) return Login{line, provider};
  return Login{line.substr(0, at), line.substr(at + 1)};
}

// The status codes whose reply goes on with a body up to ".": HELP,
// CAPABILITIES, LIST, ARTICLE, HEAD, BODY, OVER, HDR, NEWNEWS, NEWGROUPS,
// XGTITLE.
constexpr std::array<int, 11> kBodyCodes = {100, 101, 215, 220, 221, 222, 224, 225, 230, 231, 282};

// 211 is GROUP's one-line reply, and LISTGROUP's with the article numbers.
bool HasBody(int code, std::string_view command) {
  if (std::find(kBodyCodes.begin(), kBodyCodes.end(), code) != kBodyCodes.end()) return true;
  return code == 211 && StartsWithNoCase(Trim(command), "LISTGROUP");
}

// One response of the server to `command` ("" for the greeting), read and
// dropped: the status line and the body its code has. False when the
// server closed, failed, went past the deadline or sent no status line.
bool SkipResponse(LineChannel& server, std::string_view command) {
  std::string line;
  if (server.ReadLine(line) != LineChannel::Read::kLine) return false;
  bool more = false;
  std::optional<LineReply> status = ParseReplyLine(line, ReplyStyle::kNumeric, more);
  if (!status) return false;
  if (!HasBody(status->code, command)) return true;
  return server.ReadDotBody(kBodyCap, [](std::string_view) { return true; }) !=
         LineChannel::Body::kFailed;
}

}  // namespace

uint32_t NntpGate::Core::Session(SocketVar& client) {
  if (!net.access().CheckClientOrDeny(client, clients)) return 0;
  LinkUse link(net.link_users(), &client);
  if (!link.held()) return 0;  // the client has gone

  LineChannel client_lines(client, net.env(),
                           LineLimits{.max_line = options.max_client_line,
                                      .deadline_ms = options.client_line_ms,
                                      .max_reply_lines = 1});
  std::vector<std::string> kept;
  std::string line;
  std::string_view answer = kNntpGateAnswer;
  for (size_t taken = 0;; ++taken) {
    if (!client_lines.SendLine(answer) || client_lines.ReadLine(line) != LineChannel::Read::kLine) {
      CloseSocketVar(client);
      return 0;
    }
    if (IsLoginLine(line)) break;
    if (taken >= options.max_kept_lines) {  // a client that never logs in
      CloseSocketVar(client);
      return 0;
    }
    const bool needs_login = NeedsLogin(line);
    answer = needs_login ? kNntpLoginRequired : kNntpGateAnswer;
    if (!needs_login) kept.push_back(line);
  }

  const Login login = ParseLogin(Trim(line), config.Current()->nntp);
  SocketVar server = ConnectOutside(net, client, login.target, kNntpGatePort);
  LineChannel server_lines(server, net.env(),
                           LineLimits{.max_line = kServerLineCap,
                                      .deadline_ms = options.server_reply_ms,
                                      .max_reply_lines = 1});
  bool ready = server.is_open() && SkipResponse(server_lines, "");
  for (size_t i = 0; ready && i < kept.size(); ++i)
    ready = server_lines.SendLine(kept[i]) && SkipResponse(server_lines, kept[i]);
  if (ready && server_lines.SendLine(login.line)) {
    RelaySockets(client, server);
    return 0;
  }
  CloseSocketVar(server);
  CloseSocketVar(client);
  return 0;
}

NntpGate::NntpGate(Network& net, ConfigStore& config, NntpGateOptions options)
    : net_(net), config_(config), core_(std::make_shared<Core>(net, config, options)) {}

NntpGate::~NntpGate() { Stop(); }

bool NntpGate::Start() {
  return listener_.Open([this](SocketVar& listener) {
    const std::array<std::string, 1> files = {kNntpGateListFile};
    StartListenerService(net_, listener, core_->options.port, config_.Current()->hide_nntp, files,
                         core_->clients,
                         [core = core_](SocketVar& client) { return core->Session(client); });
  });
}

void NntpGate::Stop() { listener_.Close(); }

bool NntpGate::Running() const { return listener_.IsOpen(); }

}  // namespace netrove
