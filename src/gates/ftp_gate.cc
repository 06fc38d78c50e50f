// The FTP gate's session: the access decision, the first command and the
// server it names, the server's greeting, and the relay of the control
// connection with its check of the PASV answers (RFC 959 4.1.2, 4.2).
#include "gates/ftp_gate.h"

#include <array>
#include <string>
#include <string_view>

#include "net/ftp_passive.h"
#include "net/line_protocol.h"
#include "runtime/text.h"

namespace netrove {

struct FtpGate::Core {
  Core(Network& n, const FtpGateOptions& o) : net(n), options(o) {}

  uint32_t Session(SocketVar& client);

  Network& net;
  const FtpGateOptions options;
  AddressList clients;
};

namespace {

// The longest server line kept while reading the greeting (the rest of a
// longer line is dropped), and the longest "227" line judged: a longer one
// is refused unread.
constexpr size_t kServerLineCap = 4096;
// A refused multi-line PASV answer is dropped up to its last line; a
// server that goes on longer than this ends the relay.
constexpr size_t kMaxDroppedLines = 100;
// The most bytes taken from one side for one send.
constexpr size_t kRelayBlock = 16 * 1024;

// The server's greeting, read and dropped: lines up to one that begins
// with "220 ", within the greeting's deadline and line count. False when
// the server closed, failed or went past either bound.
bool SkipGreeting(SocketVar& server, Env& env, const FtpGateOptions& options) {
  const int64_t deadline = env.MonotonicMs() + options.server_greeting_ms;
  std::string line;
  for (size_t i = 0; i < options.max_greeting_lines; ++i) {
    const int64_t left = deadline - env.MonotonicMs();
    if (left <= 0) return false;
    LineChannel lines(server, env, LineLimits{.max_line = kServerLineCap, .deadline_ms = left});
    if (lines.ReadLine(line) != LineChannel::Read::kLine) return false;
    if (line.starts_with("220 ") || line == "220") return true;
  }
  return false;
}

// The server's side of the relay: bytes pass as they come, except the
// lines that begin with "227", which are held until they are whole and
// then passed or replaced by kFtpPassiveRefused. A line is held only while
// its first bytes could still be "227", so the other replies are not
// delayed.
class PassiveGuard {
 public:
  explicit PassiveGuard(std::string server_address) : server_(std::move(server_address)) {}

  // Appends what the client is to see of `bytes` to `out`. False when the
  // server went beyond the bounds (the relay ends).
  bool Take(std::string_view bytes, std::string& out) {
    for (char c : bytes) {
      if (state_ == State::kPass) {
        out.push_back(c);
        if (c == '\n') state_ = State::kHold;
        continue;
      }
      if (c == '\n') {
        if (!EndLine(out)) return false;
        continue;
      }
      if (state_ == State::kTooLong) continue;
      held_.push_back(c);
      if (dropping_ == 0 && !CouldBePassive(held_)) {
        out += held_;
        held_.clear();
        state_ = State::kPass;
      } else if (held_.size() > kServerLineCap) {
        state_ = State::kTooLong;
      }
    }
    return true;
  }

 private:
  enum class State {
    kHold,     // at the start of a line, or in a line that may be a "227"
    kPass,     // in a line that is not a "227": passed on as it comes
    kTooLong,  // in a held line longer than the cap: the rest is dropped
  };

  static bool CouldBePassive(std::string_view held) {
    return std::string_view("227").starts_with(held.substr(0, 3));
  }

  // A held line is complete (its "\n" has come).
  bool EndLine(std::string& out) {
    const bool whole = state_ != State::kTooLong;
    state_ = State::kHold;
    std::string line = std::move(held_);
    held_.clear();
    std::string_view text = line;
    if (text.ends_with('\r')) text.remove_suffix(1);
    if (dropping_ > 0) {  // the rest of a refused multi-line answer
      if (text.starts_with("227 ")) dropping_ = 0;
      return dropping_ == 0 || ++dropping_ <= kMaxDroppedLines;
    }
    if (!text.starts_with("227")) {  // a line shorter than three bytes
      out += line + "\n";
      return true;
    }
    const std::optional<PassiveTarget> target = ParsePassiveReply(text);
    if (whole && target && target->address == server_) {
      out += line + "\n";
      return true;
    }
    out += kFtpPassiveRefused;
    out += "\r\n";
    if (text.size() > 3 && text[3] == '-') dropping_ = 1;
    return true;
  }

  const std::string server_;
  State state_ = State::kHold;
  std::string held_;
  size_t dropping_ = 0;  // 1 + the lines dropped of a refused answer; 0 when none is
};

// Relays the control connection until either side closes, urgent data
// comes, the task is stopped or both sides are silent for the relay idle
// time; closes both.
void RelayControl(SocketVar& client, SocketVar& server) {
  const NetTimings timings = server.layer() ? server.layer()->Timings() : NetTimings();
  PassiveGuard guard(DottedAddress(GetPeerAddress(server.handle())));
  std::string block(kRelayBlock, '\0'), out;
  while (client.is_open() && server.is_open()) {
    std::array<SocketWait, 2> waits = {SocketWait{&client}, SocketWait{&server}};
    for (SocketWait& w : waits) w.want_except = true;
    if (WaitReadable(waits, timings.relay_idle_ms) < 1) break;
    SocketWait* ready = waits[0].readable ? &waits[0] : (waits[1].readable ? &waits[1] : nullptr);
    if (ready == nullptr || ready->exceptional) break;
    const int n = ReadBufferedGather(*ready->socket, block.data(), block.size());
    if (n < 1) break;
    const std::string_view bytes(block.data(), static_cast<size_t>(n));
    if (ready->socket == &client) {
      if (!SendBuffer(server, bytes.data(), bytes.size())) break;
      continue;
    }
    out.clear();
    if (!guard.Take(bytes, out) || !SendBuffer(client, out.data(), out.size())) break;
  }
  CloseSocketVar(client);
  CloseSocketVar(server);
}

}  // namespace

uint32_t FtpGate::Core::Session(SocketVar& client) {
  if (!net.access().CheckClientOrDeny(client, clients)) return 0;
  LinkUse link(net.link_users(), &client);
  if (!link.held()) return 0;  // the client has gone

  LineChannel client_lines(client, net.env(),
                           LineLimits{.max_line = options.max_first_line,
                                      .deadline_ms = options.client_line_ms,
                                      .max_reply_lines = 1});
  std::string line;
  if (!client_lines.SendLine(kFtpGateGreeting) ||
      client_lines.ReadLine(line) != LineChannel::Read::kLine || client_lines.cut()) {
    CloseSocketVar(client);
    return 0;
  }
  // "USER name@host:port": the server is after the first "@".
  const size_t at = line.find('@');
  if (at == std::string::npos) {
    CloseSocketVar(client);
    return 0;
  }
  const std::string command = line.substr(0, at) + "\r\n";
  SocketVar server = ConnectOutside(net, client, Trim(line.substr(at + 1)), kFtpDefaultPort);
  if (server.is_open() && SkipGreeting(server, net.env(), options) &&
      SendBuffer(server, command.data(), command.size())) {
    RelayControl(client, server);
    return 0;
  }
  CloseSocketVar(server);
  CloseSocketVar(client);
  return 0;
}

FtpGate::FtpGate(Network& net, ConfigStore& config, FtpGateOptions options)
    : net_(net), config_(config), core_(std::make_shared<Core>(net, options)) {}

FtpGate::~FtpGate() { Stop(); }

bool FtpGate::Start() {
  return listener_.Open([this](SocketVar& listener) {
    std::shared_ptr<const ConfigRecord> config = config_.Current();
    if (config->ftp == 0) return;
    const std::array<std::string, 1> files = {kFtpGateListFile};
    StartListenerService(net_, listener, config->ftp, config->hide_ftp, files, core_->clients,
                         [core = core_](SocketVar& client) { return core->Session(client); });
  });
}

void FtpGate::Stop() { listener_.Close(); }

bool FtpGate::Running() const { return listener_.IsOpen(); }

}  // namespace netrove
