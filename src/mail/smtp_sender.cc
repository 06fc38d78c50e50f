// The client side of RFC 5321 as the queue needs it: HELO, then per
// message RSET, MAIL, RCPT, DATA and the final "." (section 4.1.1), and
// QUIT. Replies are read with their continuation lines (section 4.2.1),
// each bounded in lines and time. A reply that never comes, or is no SMTP
// reply, ends the pass: the conversation cannot be trusted after it.
#include "mail/smtp_sender.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mail_names.h"
#include "mail/pop3_command.h"
#include "net/line_protocol.h"

namespace netrove {

namespace {

// The longest reply line kept (the rest of a longer one is dropped).
constexpr size_t kMaxReplyLine = 65530;
constexpr size_t kMaxReplyLines = 100;
// The most names looked at in the mail directory.
constexpr size_t kQueueListLimit = 200000;
// The most "<n>.smtp.bad[.k]" names tried for one file.
constexpr int kAsideNames = 100;
// The most characters of a provider's reply in a log line.
constexpr size_t kMaxLoggedReply = 200;

struct QueueName {
  uint16_t number = 0;
  std::string name;
};

// The number of a name that is "<n>.smtp" exactly: temporary files, and
// files moved aside ("<n>.smtp.bad"), are no queue files.
std::optional<uint16_t> QueueNumberOf(std::string_view name) {
  std::optional<uint16_t> n = FileNumberOf(name);
  if (!n || name.size() != std::to_string(*n).size() + 5 || !HasExtension(name, "smtp"))
    return std::nullopt;
  return n;
}

// The queue in number order. Files of size 0 are left out: the SMTP server
// claims a number with an empty file and renames the message over it.
std::vector<QueueName> ListQueue(Env& env, const std::string& dir) {
  std::vector<QueueName> queue;
  for (std::string& name : env.ListDirectory(dir, kQueueListLimit)) {
    std::optional<uint16_t> n = QueueNumberOf(name);
    if (!n) continue;
    std::optional<FileInfo> info = env.Stat(JoinPath(dir, name));
    if (info && !info->is_directory && info->size != 0) queue.push_back({*n, std::move(name)});
  }
  std::sort(queue.begin(), queue.end(),
            [](const QueueName& a, const QueueName& b) { return a.number < b.number; });
  return queue;
}

// A provider's reply as it may go into the log: printable, bounded.
std::string LoggedReply(std::string_view text) { return EchoText(text.substr(0, kMaxLoggedReply)); }

}  // namespace

int64_t NextExtraWait(int64_t current_ms, bool pass_ok, const SmtpSenderOptions& options) {
  if (pass_ok) return 0;
  return std::min(current_ms + options.extra_step_ms, options.extra_cap_ms);
}

// One connection to the provider and the files sent over it.
struct SmtpSender::Pass {
  enum class Outcome {
    kSent,     // accepted by the provider and gone from the queue
    kAside,    // unsendable, moved aside
    kKept,     // refused or unreadable this time: stays for the next pass
    kSkipped,  // gone, or still being written
    kBroken,   // the conversation failed: the pass ends
  };

  Pass(SmtpSender& s, SocketVar& socket, const std::string& h)
      : sender(s),
        env(s.net_.env()),
        lines(socket, env,
              LineLimits{.max_line = kMaxReplyLine,
                         .deadline_ms = s.options_.reply_ms,
                         .max_reply_lines = kMaxReplyLines}),
        host(h) {}

  // The reply to `command`; nullopt when the connection broke.
  std::optional<LineReply> Command(std::string_view command) {
    if (!lines.SendLine(command)) return std::nullopt;
    return lines.ReadReply(ReplyStyle::kNumeric);
  }

  // The greeting (a multi-line one is read whole) and HELO.
  bool Open() {
    if (!lines.socket().is_open()) return false;
    std::optional<LineReply> greeting = lines.ReadReply(ReplyStyle::kNumeric);
    if (!greeting || greeting->code != 220) return false;
    std::optional<LineReply> helo = Command(std::string("HELO ") + kSmtpHeloDomain);
    return helo && helo->code == 250;
  }

  // QUIT, its reply awaited (bounded) so that the provider ends cleanly.
  void Quit() { (void)Command("QUIT"); }

  Outcome SendFile(const std::string& dir, const std::string& name);
  Outcome Deliver(const std::string& path, const std::string& name, std::string_view text,
                  const QueueFile& file);
  // Renames the file "<name>.bad" (or ".bad.<k>": an earlier one is never
  // overwritten) and logs why. False when it could not.
  bool MoveAside(const std::string& path, const std::string& name, const std::string& why);
  // Queues the message again for `recipients` alone (a new queue file).
  bool Requeue(const std::string& name, std::string_view text, const QueueFile& file,
               const std::vector<std::string>& recipients);

  SmtpSender& sender;
  Env& env;
  LineChannel lines;
  const std::string host;
};

SmtpSender::Pass::Outcome SmtpSender::Pass::SendFile(const std::string& dir,
                                                     const std::string& name) {
  const std::string path = JoinPath(dir, name);
  std::optional<FileInfo> info = env.Stat(path);
  // Size 0: the SMTP server has claimed the number and not yet renamed the
  // message into place.
  if (!info || info->is_directory || info->size == 0) return Outcome::kSkipped;
  const size_t cap = std::min(sender.options_.max_file_bytes, kMaxQueueFileBytes);
  if (info->size > cap)
    return MoveAside(path, name, "is too large to send") ? Outcome::kAside : Outcome::kKept;
  std::optional<std::string> text = env.ReadFile(path, cap + 1);
  if (!text) return Outcome::kKept;
  std::optional<QueueFile> file;
  if (text->size() <= cap) file = ParseQueueFile(*text);
  if (!file) return MoveAside(path, name, "is no message") ? Outcome::kAside : Outcome::kKept;
  return Deliver(path, name, *text, *file);
}

SmtpSender::Pass::Outcome SmtpSender::Pass::Deliver(const std::string& path,
                                                    const std::string& name, std::string_view text,
                                                    const QueueFile& file) {
  std::optional<LineReply> reply = Command("RSET");
  if (!reply || reply->code != 250) return Outcome::kBroken;
  if (!(reply = Command("MAIL FROM: <" + file.sender + ">"))) return Outcome::kBroken;
  if (reply->code != 250) return Outcome::kKept;

  // Every recipient is offered; a refusal drops only that recipient.
  std::vector<std::string> accepted, later, refused;
  for (const std::string& r : file.recipients) {
    if (!(reply = Command("RCPT TO: <" + r + ">"))) return Outcome::kBroken;
    if (reply->code == 250 || reply->code == 251) {  // 251: accepted, forwarded
      accepted.push_back(r);
      continue;
    }
    sender.log_.Write("SMTP WARNING: " + host + " refused recipient " + r + ": " +
                      LoggedReply(reply->text));
    (reply->code >= 500 ? refused : later).push_back(r);
  }
  if (accepted.empty()) {
    // Refused for good by every recipient: retrying cannot help.
    if (later.empty())
      return MoveAside(path, name, "was refused for every recipient") ? Outcome::kAside
                                                                      : Outcome::kKept;
    if (!refused.empty() && Requeue(name, text, file, later)) (void)EraseFile(env, path);
    return Outcome::kKept;
  }

  if (!lines.SendLine("DATA") || !(reply = lines.ReadReply(ReplyStyle::kNumeric)))
    return Outcome::kBroken;
  if (reply->code != 354) return Outcome::kKept;
  // The lines are stored dot-stuffed: they go out as they are.
  std::string_view rest = text.substr(file.body_offset), line;
  while (TakeQueueLine(rest, line) && line != ".")
    if (!lines.SendLine(line)) return Outcome::kBroken;
  if (!(reply = Command("."))) return Outcome::kBroken;
  if (reply->code != 250) return Outcome::kKept;

  // Recipients refused for the moment get a file of their own; should that
  // fail, the whole file stays (a second copy to the others is better than
  // none to these).
  if (!later.empty() && !Requeue(name, text, file, later)) return Outcome::kSent;
  if (!EraseFile(env, path))
    sender.log_.Write("SMTP ERROR: sent queue file " + name + " cannot be removed");
  return Outcome::kSent;
}

bool SmtpSender::Pass::MoveAside(const std::string& path, const std::string& name,
                                 const std::string& why) {
  for (int k = 0; k < kAsideNames; ++k) {
    const std::string suffix = ".bad" + (k == 0 ? std::string() : "." + std::to_string(k));
    if (env.Stat(path + suffix)) continue;
    if (!env.Rename(path, path + suffix)) break;
    sender.log_.Write("SMTP ERROR: queue file " + name + " " + why + "; moved aside as " + name +
                      suffix);
    return true;
  }
  sender.log_.Write("SMTP ERROR: queue file " + name + " " + why + " and cannot be moved aside");
  return false;
}

bool SmtpSender::Pass::Requeue(const std::string& name, std::string_view text,
                               const QueueFile& file, const std::vector<std::string>& recipients) {
  std::optional<std::string> path = sender.store_->WriteQueueFile(
      QueueFileText(file.sender, recipients, text.substr(file.body_offset)));
  if (!path) sender.log_.Write("SMTP ERROR: queue file " + name + " cannot be queued again");
  return path.has_value();
}

SmtpSender::SmtpSender(Network& net, Log& log, ConfigStore& config,
                       std::shared_ptr<MailStore> store, SmtpSenderOptions options)
    : net_(net), log_(log), config_(config), store_(std::move(store)), options_(options) {}

SmtpSender::~SmtpSender() { Stop(); }

void SmtpSender::Start() {
  std::lock_guard<std::mutex> lock(mu_);
  if (Tasks::Running(task_)) return;
  task_ = net_.tasks().Start(kSmtpSenderTaskName, [this](uint32_t) { return QueueSender(); });
}

void SmtpSender::Stop() { Tasks::TakeAndStop(mu_, task_); }

bool SmtpSender::Running() const {
  std::lock_guard<std::mutex> lock(mu_);
  return Tasks::Running(task_);
}

bool SmtpSender::SendQueue() {
  std::lock_guard<std::mutex> pass_lock(pass_mu_);
  const std::string dir = store_->EnsureMailRoot();
  const std::vector<QueueName> queue = ListQueue(net_.env(), dir);
  if (queue.empty()) return true;
  const std::string host = config_.Current()->smtp;
  SocketVar socket = net_.connector().Connect(host, kProviderSmtpPort);
  Pass pass(*this, socket, host);
  if (!pass.Open()) {
    log_.Write("Can't connect to SMTP server (" + host + ")");
    return false;
  }
  log_.Write("Sending SMTP mail to " + host);
  std::atomic<int32_t>& storing = store_->ActiveSmtpDeliveries();
  int done = 0, failed = 0;
  for (const QueueName& q : queue) {
    if (storing.load() != 0 || TaskStopRequested()) break;
    const Pass::Outcome outcome = pass.SendFile(dir, q.name);
    if (outcome == Pass::Outcome::kSent || outcome == Pass::Outcome::kAside) ++done;
    if (outcome == Pass::Outcome::kKept || outcome == Pass::Outcome::kBroken) ++failed;
    if (outcome == Pass::Outcome::kBroken) return done != 0;
  }
  pass.Quit();
  return done != 0 || failed == 0;
}

uint32_t SmtpSender::QueueSender() {
  auto online = [this] { return net_.shared().link_mode.load() == kLinkOnline; };
  int64_t extra = 0;
  for (;;) {
    if (!TaskSleep(options_.offline_poll_ms)) return 0;
    while (online()) {
      if (store_->ActiveSmtpDeliveries().load() == 0) {
        const bool ok = SendQueue();
        if (TaskStopRequested()) return 0;
        if (!ok) {
          log_.Write("SMTP ERROR: Send error to " + config_.Current()->smtp);
          if (!TaskSleep(options_.failure_wait_ms + extra)) return 0;
        }
        extra = NextExtraWait(extra, ok, options_);
      }
      if (!TaskSleep(options_.pass_gap_ms)) return 0;
    }
  }
}

}  // namespace netrove
