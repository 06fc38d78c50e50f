// One POP3 session (RFC 1939 subset plus the web mail's extensions) over
// the line-protocol engine: requests are read with a 65530-character cap
// and the receive time-out of the socket layer, replies and message lines
// go out with CR LF.
#include "mail/pop3_server.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>

#include "mail/mail_names.h"
#include "mail/pop3_command.h"
#include "net/line_protocol.h"
#include "runtime/tasks.h"
#include "runtime/text.h"

namespace netrove {

namespace {

constexpr size_t kMaxRequestLine = 65530;
constexpr size_t kReadBlock = 8192;
constexpr size_t kSendBlock = 16384;
constexpr size_t kPenaltyPruneAt = 256;

enum class Part { kAll, kTop, kBody };

// "+OK Show", the lines of `file` (CR, LF or CR LF ends a line; null: an
// empty message) with CR LF, and ".": all of them, the header and `top`
// more, or those after the header. Lines go out in blocks, a small
// message in one send (no pause for the client's delayed ACK); a long
// line is never held whole. False when a send failed.
bool SendMessage(LineChannel& channel, ReadableFile* file, Part part, uint64_t top) {
  std::string out = "+OK Show\r\n";
  char block[kReadBlock];
  bool header = true, pending_cr = false, more = file != nullptr;
  uint64_t counted = 0;
  size_t line_length = 0;
  auto decide = [&] {
    return part == Part::kAll || (part == Part::kTop ? header || counted < top : !header);
  };
  bool sending = decide();
  auto end_line = [&] {  // false when TOP has sent all it may
    if (sending) out += "\r\n";
    if (header && line_length == 0) {
      header = false;
    } else if (!header) {
      ++counted;
    }
    line_length = 0;
    sending = decide();
    return !(part == Part::kTop && !header && counted >= top);
  };
  for (int64_t n; more && (n = file->Read(block, sizeof block)) > 0;) {
    for (int64_t i = 0; i < n && more; ++i) {
      const char c = block[i];
      if (pending_cr) {
        pending_cr = false;
        if (c == '\n') continue;
      }
      if (c == '\r' || c == '\n') {
        pending_cr = c == '\r';
        more = end_line();
      } else {
        if (sending) out.push_back(c);
        ++line_length;
      }
    }
    if (out.size() >= kSendBlock) {
      if (!channel.Send(out)) return false;
      out.clear();
    }
  }
  if (more && line_length > 0) (void)end_line();
  return channel.Send(out + ".\r\n");
}

std::string SizeText(const MessageEntry& e) { return std::to_string(e.size); }

}  // namespace

struct Pop3Server::Core {
  Core(Network& n, Log& l, std::shared_ptr<MailStore> s, Pop3ServerOptions o)
      : net(n), log(l), store(*s), options(o), store_owner(std::move(s)) {}

  void Session(SocketVar& client);
  // The pause before a wrong password's answer for `address`; false when
  // the connection is to be closed instead (too long a queue, a stop).
  bool WaitPenalty(uint32_t address);

  Network& net;
  Log& log;
  MailStore& store;
  const Pop3ServerOptions options;
  const std::shared_ptr<MailStore> store_owner;  // keeps `store` alive

  std::mutex mu;
  std::map<uint32_t, int64_t> penalty_until;  // guarded by mu: monotonic ms
};

bool Pop3Server::Core::WaitPenalty(uint32_t address) {
  const int64_t now = net.env().MonotonicMs();
  int64_t end = 0;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (penalty_until.size() >= kPenaltyPruneAt)
      std::erase_if(penalty_until, [now](const auto& p) { return p.second <= now; });
    int64_t& until = penalty_until[address];
    end = std::max(now, until) + options.wrong_password_delay_ms;
    if (end - now > options.max_penalty_ms) return false;
    until = end;
  }
  return TaskSleep(end - now);
}

namespace {

class Pop3Connection {
 public:
  Pop3Connection(Pop3Server::Core& core, SocketVar& client)
      : core_(core),
        store_(core.store),
        channel_(client, core.net.env(),
                 LineLimits{kMaxRequestLine, core.net.sockets().Timings().receive_timeout_ms, 1}),
        address_(GetPeerAddress(client.handle())) {}

  void Run() {
    store_.ReloadMailAccountsIfIdle();
    if (!channel_.SendLine("+OK NETROVE POP3-server")) return;
    if (!Authorise()) return;
    for (std::string folder = user_dir_; !folder.empty();) {
      folder_ = folder;
      list_ = store_.OpenFolder(folder_);
      if (!channel_.SendLine("+OK Mailbox open, " + std::to_string(list_.size()) + " messages"))
        return;
      folder = Transaction();
    }
  }

 private:
  bool Authorise() {
    std::string login;
    for (std::string line; channel_.ReadLine(line) == LineChannel::Read::kLine;) {
      Pop3Command c = SplitAuthorisationCommand(CollapseBlanks(line));
      bool ok = true;
      if (c.blank && c.verb == "USER") {
        login = UpperAscii(c.argument);
        ok = channel_.SendLine("+OK Please, send password");
      } else if (c.blank && c.verb == "PASS") {
        if (Login(login, c.argument)) return true;
        if (!core_.WaitPenalty(address_)) return false;
        ok = channel_.SendLine("-ERR wrong password");
      } else if (!c.blank && c.verb == "QUIT") {
        (void)channel_.SendLine("+OK User disconnected");
        return false;
      } else if (!c.blank && c.verb == "NOOP") {
        ok = channel_.SendLine("+OK Noop");
      } else {
        ok = channel_.SendLine("-ERR unknown command: " + EchoText(c.argument));
      }
      if (!ok) return false;
    }
    return false;
  }

  bool Login(const std::string& login, const std::string& password) {
    user_dir_ = store_.MailboxOfLogin(login, password);
    return !user_dir_.empty();
  }

  // The command loop of one folder; the next folder to open, "" at the end.
  std::string Transaction() {
    for (std::string line; channel_.ReadLine(line) == LineChannel::Read::kLine;) {
      Pop3Command c = SplitTransactionCommand(CollapseBlanks(line));
      const std::string& arg = c.argument;
      bool ok = true;
      if (c.verb == "QUIT") {
        (void)channel_.SendLine("+OK User disconnected");
        return "";
      } else if (c.verb == "NOOP") {
        ok = channel_.SendLine("+OK Noop");
      } else if (c.verb == "STAT") {
        list_ = store_.ScanMailbox(folder_);
        uint64_t total = 0;
        for (const MessageEntry& e : list_) total += static_cast<uint64_t>(e.size);
        ok = channel_.SendLine("+OK " + std::to_string(list_.size()) + " " + std::to_string(total));
      } else if ((c.verb == "LIST" || c.verb == "MLIST") && arg.empty()) {
        std::string out = "+OK Mailbox scan listing follows\r\n";
        for (const MessageEntry& e : list_)
          out += std::to_string(e.number) + " " + SizeText(e) + "\r\n";
        ok = channel_.Send(out + ".\r\n");
      } else if (c.verb == "LIST" || c.verb == "MLIST") {
        const MessageEntry* e = Find(arg);
        if (!e) {
          ok = NoSuchMessage();
        } else {
          char time[9];
          std::snprintf(time, sizeof time, "%08" PRIX32, e->time);
          // "LIST n" is one line, as every POP3 client reads it; the web
          // mail's MLIST n ends with its "." line.
          ok = channel_.Send("+OK " + arg + " " + SizeText(*e) +
                             (c.verb == "MLIST" ? std::string(time) + "\r\n." : "") + "\r\n");
        }
      } else if (c.verb == "RETR" || c.verb == "BODY") {
        ok = Serve(Find(arg), c.verb == "RETR" ? Part::kAll : Part::kBody, 0);
      } else if (c.verb == "TOP") {
        ok = Top(arg);
      } else if (c.verb == "DELE") {
        const MessageEntry* e = Find(arg);
        if (!e || !store_.EraseListed(folder_, *e)) {
          ok = NoSuchMessage();
        } else {
          Drop(e);
          ok = channel_.SendLine("+OK Deleted");
        }
      } else if (c.verb == "MDELE") {
        ok = Move(arg);
      } else if (c.verb == "MAILBOX") {
        std::string next = store_.FolderDirectory(user_dir_, arg);
        if (!next.empty()) return next;
        ok = channel_.SendLine("-ERR unknown command");
      } else {
        ok = channel_.SendLine("-ERR unknown command");
      }
      if (!ok) return "";
    }
    return "";
  }

  const MessageEntry* Find(std::string_view number_text) const {
    const uint16_t n = ParseMessageNumber(number_text);
    if (n == 0) return nullptr;
    auto it = std::find_if(list_.begin(), list_.end(),
                           [n](const MessageEntry& e) { return e.number == n; });
    return it == list_.end() ? nullptr : &*it;
  }
  void Drop(const MessageEntry* e) { list_.erase(list_.begin() + (e - list_.data())); }
  bool NoSuchMessage() { return channel_.SendLine("-ERR No such message"); }

  bool Top(const std::string& arg) {
    size_t blank = arg.find(' ');
    if (blank == std::string::npos) return channel_.SendLine("-ERR Bad line count argument");
    const MessageEntry* e = Find(std::string_view(arg).substr(0, blank));
    if (!e) return NoSuchMessage();
    std::optional<uint64_t> lines = ParseLineCount(std::string_view(arg).substr(blank + 1));
    if (!lines) return channel_.SendLine("-ERR Bad line count argument");
    return Serve(e, Part::kTop, *lines);
  }

  bool Serve(const MessageEntry* e, Part part, uint64_t top) {
    if (!e) return NoSuchMessage();
    bool changed = false;
    std::unique_ptr<ReadableFile> file = store_.OpenListed(folder_, *e, changed);
    if (changed) return NoSuchMessage();
    return SendMessage(channel_, file.get(), part, top);
  }

  bool Move(const std::string& arg) {
    size_t blank = arg.find(' ');
    const MessageEntry* e =
        blank == std::string::npos ? nullptr : Find(std::string_view(arg).substr(0, blank));
    std::string target = e ? store_.FolderDirectory(user_dir_, arg.substr(blank + 1)) : "";
    // A move to the folder it is in ("Inbox" from the main folder) is refused.
    if (target.empty() || target == folder_ || !store_.MoveListed(folder_, *e, target))
      return NoSuchMessage();
    Drop(e);
    return channel_.SendLine("+OK Moved");
  }

  Pop3Server::Core& core_;
  MailStore& store_;
  LineChannel channel_;
  const uint32_t address_;
  std::string user_dir_;  // the mailbox: the main folder
  std::string folder_;    // the folder open
  MessageList list_;
};

}  // namespace

void Pop3Server::Core::Session(SocketVar& client) {
  Pop3Connection(*this, client).Run();
  CloseSocketVar(client);
}

Pop3Server::Pop3Server(Network& net, Log& log, ConfigStore& config,
                       std::shared_ptr<MailStore> store, Pop3ServerOptions options)
    : net_(net),
      config_(config),
      core_(std::make_shared<Core>(net, log, std::move(store), options)) {}

Pop3Server::~Pop3Server() { Stop(); }

bool Pop3Server::Start() {
  return listener_.Open([this](SocketVar& listener) {
    std::shared_ptr<const ConfigRecord> config = config_.Current();
    if (!config->pop3_server) return;
    (void)core_->store.LoadMailAccounts();
    (void)core_->store.EnsureMailRoot();
    core_->log.Write("POP3-server started");
    net_.ports().ListenTcpLoopback(config->pop3_server_port, listener,
                                   [core = core_](SocketVar& client) {
                                     core->Session(client);
                                     return uint32_t{0};
                                   });
  });
}

void Pop3Server::Stop() { listener_.Close(); }

uint16_t Pop3Server::LocalPop3Port() const { return listener_.Port(); }

void Pop3Server::Pop3Session(SocketVar& client) { core_->Session(client); }

}  // namespace netrove
