// The POP3 fetcher: the scheduler, the pass over the accounts and the run
// of one account, a POP3 client of RFC 1939 (USER/PASS, STAT, LIST, RETR,
// DELE, QUIT).
//
// Order of an account's work per message: RETR, store every local copy
// (DeliverToUsers writes, syncs and renames each before it returns), then
// DELE. A break anywhere before the DELE leaves the message on the server;
// a break after a DELE but before the QUIT that commits it gives at worst a
// duplicate in the next pass. The connection is renewed after
// `reconnect_after_ms` to commit the deletions made so far.
#include "mail/pop3_fetcher.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "net/line_protocol.h"
#include "runtime/text.h"

namespace netrove {

namespace {

constexpr size_t kMaxFetchLine = 65530;
constexpr uint16_t kPop3Port = 110;
// Longest server reply quoted in a log line.
constexpr size_t kMaxQuotedReply = 255;
// Texts of this length or shorter are not messages: deleted, not stored.
constexpr size_t kMaxIgnoredText = 10;

// A decimal number with an optional sign and nothing else around it.
std::optional<int64_t> ParseDecimal(std::string_view text) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [at, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || at != end) return std::nullopt;
  return value;
}

// One line of a LIST reply, "<number> <size>": nullopt when the number is
// not 1..65535 or the size not 0..2^31-1.
struct Listed {
  uint16_t number = 0;
  int64_t size = 0;
};
std::optional<Listed> ParseListing(std::string_view line) {
  const size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  std::optional<uint16_t> number = ParsePortNumber(line.substr(0, blank));
  std::optional<int64_t> size = ParseDecimal(Trim(line.substr(blank + 1)));
  if (!number || *number == 0 || !size || *size < 0 || *size > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return Listed{*number, *size};
}

// A PASS reply naming a count of messages other than zero holds one of
// the digits 1 to 9.
bool NamesMessages(std::string_view reply) {
  return reply.find_first_of("123456789") != std::string_view::npos;
}

// The message count of a STAT reply ("+OK <count> <size>"), nullopt when
// it names none.
std::optional<int64_t> StatCount(std::string_view reply) {
  const std::string words = CollapseBlanks(reply);
  const size_t first = words.find(' ');
  if (first == std::string::npos) return std::nullopt;
  const size_t second = words.find(' ', first + 1);
  return ParseDecimal(std::string_view(words).substr(first + 1, second - first - 1));
}

// The text of a header line's value without its first character (the
// blank after the colon), up to the end of that line.
std::string_view ValueAfter(std::string_view header, size_t at) {
  std::string_view value = header.substr(at);
  value = value.substr(0, value.find('\r'));
  return value.empty() ? value : value.substr(1);
}

// The run of one account: one object per run, on the account's task.
class AccountRun {
 public:
  AccountRun(Network& net, Log& log, MailStore& store, const Pop3FetcherOptions& options,
             int64_t size_limit, std::string_view entry)
      : net_(net), log_(log), store_(store), options_(options), size_limit_(size_limit) {
    // host login password [users...]; the line's blanks are single already.
    std::string_view rest = entry;
    for (std::string* word : {&host_, &login_, &password_}) {
      const size_t blank = rest.find(' ');
      *word = std::string(rest.substr(0, blank));
      rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    }
    users_ = std::string(rest);
  }

  void Run() {
    if (!password_.empty()) {
      log_.Write("Receiving mail for " + login_ + ":" + host_);
      if (!store_.HasFreeSpaceForMail()) {
        error_ = kDiskFullText;
      } else {
        while (Connection()) {
        }
      }
    }
    Finish();
  }

 private:
  // One connection from the connect to the QUIT; true when the account
  // goes on with a new connection.
  bool Connection() {
    error_ = "Can't connect to " + host_;
    socket_ = net_.connector().Connect(host_, kPop3Port);
    if (!socket_.is_open()) return false;
    LineChannel lines(
        socket_, net_.env(),
        LineLimits{
            .max_line = kMaxFetchLine, .deadline_ms = options_.reply_ms, .max_reply_lines = 1});
    std::string line;
    if (!Positive(lines, line)) return false;

    // USER and PASS go out together; the PASS reply is the second line.
    std::string pass_reply;
    const bool sent = lines.Send("USER " + login_ + "\r\nPASS " + password_ + "\r\n");
    if (!sent || lines.ReadLine(line) != LineChannel::Read::kLine ||
        lines.ReadLine(pass_reply) != LineChannel::Read::kLine || !pass_reply.starts_with('+')) {
      error_ = "Can't login to " + host_ + " (" + login_ + ") (" +
               pass_reply.substr(0, kMaxQuotedReply) + ")";
      return false;
    }

    error_ = "Can't get list messages from " + host_;
    if (!NamesMessages(pass_reply)) {
      // Most servers say nothing of the count at login: STAT tells.
      if (!lines.SendLine("STAT") || !Positive(lines, line)) return false;
      if (StatCount(line) == 0) {
        error_.clear();
        return false;
      }
    }
    std::vector<uint16_t> numbers;
    if (!lines.SendLine("LIST") || !Positive(lines, line) || !ReadListing(lines, numbers))
      return false;
    error_.clear();
    if (numbers.empty()) return false;

    error_ = "Read error from " + host_;
    const int64_t renew_at = net_.env().MonotonicMs() + options_.reconnect_after_ms;
    for (size_t i = 0; i < numbers.size(); ++i) {
      if (!FetchMessage(lines, numbers[i])) return false;
      if (net_.env().MonotonicMs() > renew_at && i + 1 < numbers.size()) {
        // Commit the deletions so far; the rest comes with a fresh listing.
        if (lines.SendLine("QUIT")) (void)lines.ReadLine(line);
        CloseSocketVar(socket_);
        error_.clear();
        return TaskSleep(options_.reconnect_pause_ms);
      }
    }
    error_.clear();
    return false;
  }

  // RETR, store, DELE of one message; false ends the run (error_ says why).
  bool FetchMessage(LineChannel& lines, uint16_t number) {
    const std::string n = std::to_string(number);
    std::string line;
    if (!lines.SendLine("RETR " + n) || !Positive(lines, line)) return false;
    std::string text;
    // The store keeps the wire form: the dots the channel took off go back.
    const size_t max_bytes = static_cast<size_t>(std::max<int64_t>(size_limit_ - 1, 0));
    // The same socket, with the deadline of a whole message.
    LineChannel body_lines(
        socket_, net_.env(),
        LineLimits{.max_line = kMaxFetchLine, .deadline_ms = options_.message_ms});
    const LineChannel::Body body = body_lines.ReadDotBody(max_bytes, [&text](std::string_view got) {
      if (got.starts_with('.')) text += '.';
      text.append(got).append("\r\n");
      return true;
    });
    if (body == LineChannel::Body::kFailed) return false;
    if (body == LineChannel::Body::kTooLarge) {
      // Listed smaller than it is: it stays on the server.
      log_.Write("POP3 WARNING: (" + host_ + "/" + login_ + ") Bad size mail: " + n + " (over " +
                 GroupThousands(max_bytes) + " bytes)");
      return true;
    }
    if (text.size() > kMaxIgnoredText && !store_.DeliverToUsers(text, FindRecipient(text), users_))
      return false;  // not stored: not deleted
    if (!lines.SendLine("DELE " + n) || !Positive(lines, line)) return false;
    ++stored_;
    return true;
  }

  // The listing up to ".": the numbers of the messages under the size
  // limit, each once. False when the listing breaks off or is too long.
  bool ReadListing(LineChannel& lines, std::vector<uint16_t>& numbers) {
    std::vector<bool> seen(size_t{1} << 16);
    std::string line;
    for (size_t count = 0;; ++count) {
      if (lines.ReadLine(line) != LineChannel::Read::kLine) return false;
      if (line == "." && !lines.cut()) return true;
      if (count >= options_.max_listing_lines) return false;
      std::optional<Listed> listed = lines.cut() ? std::nullopt : ParseListing(line);
      if (!listed || seen[listed->number]) continue;
      seen[listed->number] = true;
      if (listed->size < size_limit_) {
        numbers.push_back(listed->number);
      } else {
        log_.Write("POP3 WARNING: (" + host_ + "/" + login_ +
                   ") Bad size mail: " + std::to_string(listed->number) + " (" +
                   GroupThousands(static_cast<uint64_t>(listed->size)) + " bytes)");
      }
    }
  }

  static bool Positive(LineChannel& lines, std::string& line) {
    return lines.ReadLine(line) == LineChannel::Read::kLine && line.starts_with('+');
  }

  void Finish() {
    if (!error_.empty()) {
      log_.Write("POP3 ERROR: " + error_);
    } else if (stored_ != 0) {
      log_.Write("Received mail for " + login_ + " (" + std::to_string(stored_) + ")");
    } else {
      log_.Write("Not found new mail for " + login_ + ":" + host_);
    }
    if (socket_.is_open()) {
      (void)SendLine(socket_, "QUIT");  // commits the deletions; no reply awaited
      CloseSocketVar(socket_);
    }
    (void)TaskSleep(options_.end_pause_ms);
  }

  Network& net_;
  Log& log_;
  MailStore& store_;
  const Pop3FetcherOptions& options_;
  // Messages of this size or larger stay on the server.
  const int64_t size_limit_;
  std::string host_, login_, password_, users_;
  SocketVar socket_;
  std::string error_;
  uint32_t stored_ = 0;
};

}  // namespace

std::string FindRecipient(std::string_view message) {
  const std::string header = UpperAscii(message.substr(0, message.find("\r\n\r\n")));
  std::string recipient;
  constexpr std::string_view kReceived = "RECEIVED:";
  if (header.starts_with(kReceived)) {
    // The first Received header only, continuation lines joined.
    std::string_view rest = std::string_view(header).substr(kReceived.size());
    rest = rest.substr(0, rest.find(kReceived));
    std::string first;
    for (char c : rest) {
      if (c == '\t' || c == '\r' || c == '\n') c = ' ';
      if (c != ' ' || first.empty() || first.back() != ' ') first += c;
    }
    constexpr std::string_view kFor = " FOR <";
    const size_t at = first.find(kFor);
    if (at != std::string::npos) {
      const size_t from = at + kFor.size();
      recipient = first.substr(from, first.find('>', from) - from);
    }
  }
  if (recipient.empty()) {
    // A To: line, the first line of the header included.
    const size_t at = header.starts_with("TO:") ? 0 : header.find("\r\nTO:");
    if (at == std::string::npos) return recipient;
    const std::string_view value = ValueAfter(header, at == 0 ? 3 : at + 5);
    const size_t open = value.find('<');
    if (open == std::string_view::npos) return std::string(value);
    const std::string_view inside = value.substr(open + 1);
    recipient = std::string(inside.substr(0, inside.find('>')));
  }
  return recipient;
}

Pop3Fetcher::Pop3Fetcher(Network& net, Log& log, ConfigStore& config,
                         std::shared_ptr<MailStore> store, Pop3FetcherOptions options)
    : net_(net), log_(log), config_(config), store_(std::move(store)), options_(options) {}

Pop3Fetcher::~Pop3Fetcher() {
  std::vector<TaskHandle> all;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;  // no task starts from now on
    all = std::move(tasks_);
    all.push_back(std::move(scheduler_));
  }
  for (TaskHandle& task : all) Tasks::Stop(task);
}

void Pop3Fetcher::StartScheduler() {
  std::lock_guard<std::mutex> lock(mu_);
  if (stopping_ || Tasks::Running(scheduler_)) return;
  scheduler_ =
      net_.tasks().Start(kFetchSchedulerTask, [this](uint32_t) -> uint32_t { return Scheduler(); });
}

void Pop3Fetcher::StopScheduler() { Tasks::TakeAndStop(mu_, scheduler_); }

void Pop3Fetcher::StartPass(const std::string& task_name) {
  if (store_->ActiveMailFetches().load() != 0) return;  // RunPass checks again
  (void)StartOwnTask(task_name, [this](uint32_t) -> uint32_t {
    RunPass();
    return 0;
  });
}

bool Pop3Fetcher::StartOwnTask(const std::string& name, TaskRoutine routine) {
  std::lock_guard<std::mutex> lock(mu_);
  if (stopping_) return false;
  std::erase_if(tasks_, [](const TaskHandle& task) { return !Tasks::Running(task); });
  tasks_.push_back(net_.tasks().Start(name, std::move(routine)));
  return true;
}

uint32_t Pop3Fetcher::Scheduler() {
  std::atomic<uint8_t>& link_mode = net_.shared().link_mode;
  for (;;) {
    while (link_mode.load() != kLinkOnline)
      if (!TaskSleep(options_.online_poll_ms)) return 0;
    do {
      StartPass(kReadMailTask);
      const int steps = config_.Current()->pop3_server_sleep;
      for (int i = 0; i < steps; ++i)
        if (!TaskSleep(options_.sleep_step_ms)) return 0;
      if (!TaskSleep(options_.round_pause_ms)) return 0;
    } while (link_mode.load() == kLinkOnline);
  }
}

void Pop3Fetcher::RunPass() {
  std::atomic<int32_t>& active = store_->ActiveMailFetches();
  int32_t idle = 0;
  if (!active.compare_exchange_strong(idle, 1)) return;  // a pass runs
  // No fetch runs: the accounts may be read again.
  (void)store_->LoadMailAccounts();
  const std::shared_ptr<const MailAccounts> accounts = store_->Accounts();
  bool stopped = false;
  for (size_t i = 0; i < accounts->servers.size() && !stopped; ++i) {
    if (i > 0 && !TaskSleep(options_.account_gap_ms)) break;
    // Counted before its task starts, so the wait below cannot miss it.
    active.fetch_add(1);
    const std::string entry = accounts->servers[i];
    if (!StartOwnTask(kReadUserMailTask, [this, entry](uint32_t) -> uint32_t {
          FetchCounted(entry);
          return 0;
        })) {
      active.fetch_sub(1);
      stopped = true;
    }
  }
  if (!stopped && TaskSleep(options_.pass_poll_ms)) {
    while (active.load() > 1 && TaskSleep(options_.pass_poll_ms)) {
    }
  }
  active.fetch_sub(1);
}

void Pop3Fetcher::FetchAccount(size_t index) {
  const std::shared_ptr<const MailAccounts> accounts = store_->Accounts();
  if (index == 0 || index > accounts->servers.size()) return;
  store_->ActiveMailFetches().fetch_add(1);
  FetchCounted(accounts->servers[index - 1]);
}

void Pop3Fetcher::FetchCounted(const std::string& entry) {
  const int64_t limit =
      std::min<int64_t>(config_.Current()->max_len_pop3_mail,
                        static_cast<int64_t>(std::min<size_t>(
                            options_.max_message_bytes, std::numeric_limits<int32_t>::max())));
  AccountRun(net_, log_, *store_, options_, limit, entry).Run();
  store_->ActiveMailFetches().fetch_sub(1);
}

}  // namespace netrove
