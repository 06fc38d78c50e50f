// One SMTP session over the line-protocol engine (RFC 5321 sections 3.3,
// 4.1 and 4.5.2): command lines cut at 4096 characters and read within
// the command wait, a DATA body read whole within its own deadline and
// size cap, unstuffed by the engine and stuffed again for the store,
// which keeps messages as they travel on the wire. What the client sees
// of every outcome is decided in SmtpConnection::Command and ::Data.
#include "mail/smtp_server.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "mail/pop3_command.h"
#include "mail/queue_file.h"
#include "mail/smtp_command.h"
#include "net/address_match.h"
#include "net/line_protocol.h"
#include "runtime/clock.h"
#include "runtime/text.h"

namespace netrove {

struct SmtpServer::Core {
  Core(Network& n, Log& l, ConfigStore& c, std::shared_ptr<MailStore> s, SmtpServerOptions o)
      : net(n), log(l), config(c), store(std::move(s)), options(o) {}

  void Session(SocketVar& client);

  Network& net;
  Log& log;
  ConfigStore& config;
  const std::shared_ptr<MailStore> store;
  const SmtpServerOptions options;
  AddressList clients;              // smtp.ip: who may send outside the store
  std::atomic<size_t> buffered{0};  // message bytes held by all connections
};

namespace {

constexpr size_t kMaxCommandLine = 4096;
constexpr size_t kMaxArgument = 1000;
constexpr size_t kMaxSender = 255;
constexpr size_t kMegabyte = 1024 * 1024;
constexpr size_t kDefaultMaxMegabytes = 32;  // SMTPMAXSIZE 0

const char* const kHelpLines[] = {
    "214-This is Netrove version 4.x",
    "214-Topics:",
    "214-    HELO    MAIL    RCPT    DATA",
    "214-    RSET    NOOP    QUIT    HELP    VRFY",
    "214-For local information send email to Postmaster at your site.",
    "214 End of HELP info",
};

// The store's counter of connections storing mail, held for one message:
// the queue sender does not start a pass meanwhile.
class DeliveryGuard {
 public:
  explicit DeliveryGuard(std::atomic<int32_t>& count) : count_(count) { ++count_; }
  ~DeliveryGuard() { --count_; }
  DeliveryGuard(const DeliveryGuard&) = delete;
  DeliveryGuard& operator=(const DeliveryGuard&) = delete;

 private:
  std::atomic<int32_t>& count_;
};

// The zone of the system's standard time, seconds east of UTC: daylight
// saving only ever adds, so the smaller offset of two moments half a year
// apart is the standard one.
int64_t StandardZoneBias(Env& env, int64_t utc) {
  return std::min(env.LocalOffsetAt(utc), env.LocalOffsetAt(utc + 183 * 86400));
}

// A connection's share of the memory all connections may hold for the
// messages they receive; given back when the message is done with.
class BufferBudget {
 public:
  BufferBudget(std::atomic<size_t>& total, size_t limit) : total_(total), limit_(limit) {}
  ~BufferBudget() { total_ -= held_; }
  BufferBudget(const BufferBudget&) = delete;
  BufferBudget& operator=(const BufferBudget&) = delete;

  bool Take(size_t n) {
    if (total_.fetch_add(n) + n > limit_) {
      total_ -= n;
      exhausted_ = true;
      return false;
    }
    held_ += n;
    return true;
  }
  bool exhausted() const { return exhausted_; }

 private:
  std::atomic<size_t>& total_;
  const size_t limit_;
  size_t held_ = 0;
  bool exhausted_ = false;
};

class SmtpConnection {
 public:
  SmtpConnection(SmtpServer::Core& core, SocketVar& client)
      : core_(core),
        store_(*core.store),
        client_(client),
        commands_(client, core.net.env(),
                  LineLimits{.max_line = kMaxCommandLine,
                             .deadline_ms = core.options.command_ms,
                             .max_reply_lines = 1}),
        data_(client, core.net.env(),
              LineLimits{.max_line = kMaxCommandLine,
                         .deadline_ms = core.options.data_ms,
                         .max_reply_lines = 1}) {}

  void Run() {
    (void)store_.ReloadMailAccountsIfIdle();
    relay_ = core_.net.access().ClientAllowed(client_, core_.clients);
    if (!client_.is_open()) return;
    client_ip_ = DottedAddress(GetPeerAddress(client_.handle()));
    (void)store_.EnsureMailRoot();
    if (!commands_.SendLine(kSmtpGreeting)) return;
    std::string line;
    while (commands_.ReadLine(line) == LineChannel::Read::kLine)
      if (!Command(line)) return;
  }

 private:
  void Reset() {
    sender_.clear();
    recipients_.clear();
  }

  // False when the connection is to end.
  bool Command(const std::string& line) {
    const SmtpCommand command = SplitSmtpCommand(line);
    if (commands_.cut() || command.argument.size() > kMaxArgument)
      return commands_.SendLine("500 Line too long");
    const std::string& word = command.word;
    if (word == "HELO") {
      const bool sent = commands_.SendLine(std::string("250 ") + kSmtpServerHostName);
      helo_name_ = CleanHeloName(command.argument);
      return sent;
    }
    if (word == "NOOP") return commands_.SendLine("250 Ok");
    if (word == "HELP") {
      std::string reply;
      for (const char* help : kHelpLines) reply.append(help).append("\r\n");
      return commands_.Send(reply);
    }
    if (word == "QUIT") {
      (void)commands_.SendLine(std::string("221 ") + kSmtpServerHostName +
                               " Service closing transmission channel");
      return false;
    }
    if (word == "EXPN") return commands_.SendLine("550 Access Denied to You");
    if (word == "VRFY")
      return commands_.SendLine(
          "252 Cannot VRFY user; try RCPT to attempt delivery (or try finger)");
    if (word == "RSET") {
      Reset();
      return commands_.SendLine("250 Ok");
    }
    if (word == "MAIL") {
      Reset();
      std::string address = ExtractAddress(command.argument);
      // An address that could not be written into the queue is not taken.
      if (address.find('@') != std::string::npos && address.size() <= kMaxSender &&
          IsPrintableAddress(address))
        sender_ = std::move(address);
      return commands_.SendLine("250 Ok");
    }
    if (word == "RCPT") return Recipient(command.argument);
    if (word == "DATA") return Data();
    return commands_.SendLine("550 Unknown command \"" + EchoText(word) + "\"");
  }

  bool Recipient(const std::string& argument) {
    if (sender_.empty()) return commands_.SendLine("503 Need MAIL command");
    if (recipients_.size() >= kSmtpMaxRecipients)
      return commands_.SendLine("552 Too many recipients");
    std::string address = Trim(ExtractAddress(argument), " ");
    if (address.find('@') == std::string::npos) return commands_.SendLine("551 User not local");
    if (!IsPrintableAddress(address))
      return commands_.SendLine("553 Requested action not taken: mailbox name not allowed");
    if (!relay_ && !store_.IsLocalAlias(address)) return commands_.SendLine("551 User not local");
    recipients_.push_back(std::move(address));
    return commands_.SendLine("250 Ok");
  }

  bool Data() {
    DedupRecipients(recipients_);
    if (sender_.empty()) return commands_.SendLine("503 Need MAIL command");
    if (recipients_.empty()) return commands_.SendLine("503 Need RCPT (recipient)");
    if (!commands_.SendLine("354 Start mail input; end with <CRLF>.<CRLF>")) return false;
    std::string message;
    BufferBudget budget(core_.buffered, core_.options.max_buffered_bytes);
    const LineChannel::Body body = data_.ReadDotBody(MaxMessageBytes(), [&](std::string_view l) {
      if (!budget.Take(l.size() + 2)) return false;
      if (l.starts_with('.')) message.push_back('.');  // the store keeps the wire form
      message.append(l).push_back('\r');
      return true;
    });
    if (budget.exhausted()) {
      // The rest of the message is still coming: the connection cannot go on.
      (void)commands_.SendLine("452 Requested action not taken: insufficient system storage");
      return false;
    }
    if (body == LineChannel::Body::kFailed) return false;  // closed or too slow: nothing stored
    const bool stored = body == LineChannel::Body::kComplete && Store(message);
    Reset();
    if (body == LineChannel::Body::kTooLarge)
      return commands_.SendLine("552 Message size exceeds fixed maximum message size");
    return commands_.SendLine(stored ? "250 Ok"
                                     : "451 Requested action aborted: local error in processing");
  }

  // The local copies, then the queue file for the rest; false when any of
  // them could not be stored.
  bool Store(const std::string& message) {
    DeliveryGuard guard(store_.ActiveSmtpDeliveries());
    Env& env = core_.net.env();
    const int64_t local = env.LocalSeconds();
    const int64_t zone = StandardZoneBias(env, UtcFromLocalSeconds(env, local));
    const std::string computer = ComputerName();
    auto header = [&](std::string_view recipient) {
      return ReceivedHeader(helo_name_, client_ip_, computer, recipient, sender_, local, zone);
    };
    bool stored = true;
    for (size_t i = recipients_.size(); i-- > 0;) {
      if (!store_.IsLocalAlias(recipients_[i])) continue;
      stored =
          store_.DeliverToUsers(header(recipients_[i]) + message, recipients_[i], "") && stored;
      recipients_.erase(recipients_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (recipients_.empty()) return stored;
    std::string queued = sender_ + "\r";
    for (const std::string& recipient : recipients_) queued.append(recipient).push_back('\r');
    queued.push_back('\r');
    queued += header(recipients_.size() == 1 ? recipients_[0] : "");
    queued += message;
    return store_.WriteQueueFile(queued).has_value() && stored;
  }

  size_t MaxMessageBytes() const {
    if (core_.options.max_message_bytes != 0) return core_.options.max_message_bytes;
    const uint16_t megabytes = core_.config.Current()->smtp_max_size;
    // The queue sender takes files up to kMaxQueueFileBytes: room is kept
    // for the envelope and the Received header, so nothing accepted here
    // is refused there.
    return std::min<size_t>((megabytes == 0 ? kDefaultMaxMegabytes : megabytes) * kMegabyte,
                            kMaxQueueFileBytes - kMegabyte);
  }

  SmtpServer::Core& core_;
  MailStore& store_;
  SocketVar& client_;
  LineChannel commands_;
  LineChannel data_;  // the same socket, with the deadline of a whole message
  bool relay_ = false;
  std::string client_ip_;
  std::string helo_name_;  // kept across transactions
  std::string sender_;
  std::vector<std::string> recipients_;
};

}  // namespace

void SmtpServer::Core::Session(SocketVar& client) {
  SmtpConnection(*this, client).Run();
  CloseSocketVar(client);
}

SmtpServer::SmtpServer(Network& net, Log& log, ConfigStore& config,
                       std::shared_ptr<MailStore> store, SmtpServerOptions options)
    : net_(net),
      config_(config),
      core_(std::make_shared<Core>(net, log, config, std::move(store), options)) {}

SmtpServer::~SmtpServer() { Stop(); }

bool SmtpServer::Start() {
  return listener_.Open([this](SocketVar& listener) {
    std::shared_ptr<const ConfigRecord> config = config_.Current();
    if (config->smtp.empty()) return;
    const std::string files[] = {kSmtpListFile};
    if (!StartListenerService(net_, listener, core_->options.port, config->hide_smtp, files,
                              core_->clients, [core = core_](SocketVar& client) {
                                core->Session(client);
                                return uint32_t{0};
                              }))
      return;
    const auto entries = core_->clients.Snapshot();
    for (const std::string& entry : entries->entries)
      if (AddressEntryAdmitsOutside(entry)) {
        core_->log.Write(kSmtpOutsideWarning);
        break;
      }
  });
}

void SmtpServer::Stop() { listener_.Close(); }

bool SmtpServer::Listening() const { return listener_.IsOpen(); }

void SmtpServer::SmtpSession(SocketVar& client) { core_->Session(client); }

}  // namespace netrove
