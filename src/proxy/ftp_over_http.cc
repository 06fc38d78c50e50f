// The FTP client side of ftp:// URLs (RFC 959): one control connection per
// request, passive data connections, "LIST" for pages and for the size and
// date of a file, "REST" and "RETR" for downloads.
#include "proxy/ftp_over_http.h"

#include <algorithm>
#include <initializer_list>
#include <memory>

#include "net/ftp_passive.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr size_t kBlock = 512;
constexpr size_t kMaxStamp = 255;
constexpr size_t kMaxResumeKey = 255;
// Page lines go out in batches of about this size.
constexpr size_t kPageBatch = 16 * 1024;

// The field up to the first blank; the field and the blanks after it
// leave `rest`.
std::string_view TakeField(std::string_view& rest) {
  const size_t end = std::min(rest.find(' '), rest.size());
  std::string_view field = rest.substr(0, end);
  rest.remove_prefix(end);
  rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
  return field;
}

std::string PadLeft(std::string_view text, size_t width) {
  return std::string(width > text.size() ? width - text.size() : 0, ' ') + std::string(text);
}

std::string PadRight(std::string_view text, size_t width) {
  return std::string(text) + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

std::string CreatedBy() {
  return "<HR>Created by <A HREF=\"" + std::string(kProductHomePage) +
         "\">Netrove</A></BODY></HTML>";
}

// "ddd " (or "ddd" alone): the last line of a reply.
bool IsFinalReplyLine(std::string_view line) {
  if (line.size() < 3 || (line.size() > 3 && line[3] != ' ')) return false;
  return std::all_of(line.begin(), line.begin() + 3, [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string_view FtpErrorMessage(int code) {
  switch (code) {
    case 1:
      return "Can't connect to FTP";
    case 2:
      return "Can't send USER NAME to FTP";
    case 3:
      return "Can't send PASSWORD to FTP or BAD PASSWORD";
    case 4:
      return "Can't BIND to PORT";
    case 5:
      return "FTP connect ERROR";
    case 6:
      return "File not found";
    case 7:
      return "No such file or directory";
    case 8:
      return "FTP request time out";
    case 9:
      return "FTP don't support PASSIVE mode";
    case 10:
      return "Bad user name";
    default:
      return "Unknown error";
  }
}

std::optional<FtpUrl> ParseFtpUrl(std::string_view url) {
  std::string text = UrlDecode(url);
  if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) return std::nullopt;
  std::replace(text.begin(), text.end(), '\\', '/');
  if (size_t slashes = text.find("//"); slashes != std::string::npos) text.erase(0, slashes + 2);
  FtpUrl r;
  const size_t slash = text.find('/');
  r.path = slash == std::string::npos ? "/" : text.substr(slash);
  r.host_text = text.substr(0, slash);
  if (size_t at = r.host_text.rfind('@'); at != std::string::npos) {
    const std::string info = r.host_text.substr(0, at);
    r.host_text.erase(0, at + 1);
    const size_t colon = info.find(':');
    r.user = info.substr(0, colon);
    r.password = colon == std::string::npos ? "" : info.substr(colon + 1);
  }
  return r;
}

std::optional<FtpListingEntry> ParseListingLine(std::string_view line) {
  FtpListingEntry e;
  std::string_view rest = line;
  e.permissions = TakeField(rest);
  for (int i = 0; i < 3; ++i) (void)TakeField(rest);  // link count, owner, group
  e.size_text = TakeField(rest);
  for (int i = 0; i < 3; ++i) e.date_text.append(TakeField(rest)).push_back(' ');
  std::string_view name = rest;
  if (e.permissions.starts_with('l')) name = name.substr(0, name.find(" -> "));
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  e.name = std::string(name);
  return e;
}

std::string FtpShownSize(std::string_view size_text) {
  std::optional<uint64_t> size = ParseDecimal(size_text, 19);
  return size ? GroupThousands(*size) : std::string(size_text);
}

std::string FtpLinkPath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7f ||
        std::string_view("\"#%'+<>?\\`").find(c) != std::string_view::npos) {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string FtpListingPageLine(const FtpListingEntry& entry, std::string_view link_path) {
  std::string line = HtmlEscape(PadRight(entry.date_text, 13));
  std::string target = std::string(link_path) + entry.name;
  if (entry.is_directory()) {
    line += "<FONT COLOR=\"BLUE\">" + PadLeft("Directory", 16) + "</FONT>";
    target += '/';
  } else {
    line += HtmlEscape(PadLeft(FtpShownSize(entry.size_text), 16));
  }
  line += " <A HREF=\"" + HtmlEscape(FtpLinkPath(target)) + "\">" + HtmlEscape(entry.name) + "</A>";
  return line;
}

std::string FtpDirectoryPageHead(std::string_view shown_name, std::string_view host_text) {
  const std::string name = "FTP " + HtmlEscape(shown_name) + " at " + HtmlEscape(host_text);
  std::string head =
      "<HTML><HEAD><TITLE>" + name + "</TITLE></HEAD><BODY>\r\n<H2>" + name + "</H2><HR>\r\n";
  if (shown_name != "root")
    head +=
        "<A HREF=\"..\">Up to higher level directory</A><BR>"
        "<A HREF=\"/\">Go to root directory</A><BR>\r\n";
  return head;
}

std::optional<std::string> FtpResumeKey(std::string_view host_text, std::string_view path) {
  std::string key = std::string(host_text) + std::string(path);
  for (char& c : key)
    if (std::string_view("/\\?:*").find(c) != std::string_view::npos) c = '+';
  if (key.empty() || key.size() > kMaxResumeKey || key == "." || key == "..") return std::nullopt;
  return key;
}

std::string FtpResumeStamp(std::string_view size_text, std::string_view date_text) {
  return (std::string(size_text) + std::string(date_text)).substr(0, kMaxStamp);
}

// One request: the control connection and what it has found.
class FtpSession {
 public:
  FtpSession(FtpOverHttp& owner, SocketVar& client)
      : owner_(owner), net_(owner.net_), options_(owner.options_), client_(client) {}
  ~FtpSession() { CloseSocketVar(control_); }

  void Run(const std::string& url);

 private:
  enum class Wait { kMatch, kNegative, kClosed, kTooMany };
  enum class Stored { kNone, kResumed, kBroken };

  bool Command(const std::string& text);
  bool ReadServerLine(SocketVar& socket, std::string& line);
  Wait AwaitReply(std::initializer_list<std::string_view> wanted, std::string& line);
  std::optional<std::string> OneReply();
  void Error(int code);
  SocketVar Passive();
  SocketVar OpenListing();
  void List(SocketVar& data, const std::string& argument, bool html, const std::string& link_path,
            std::optional<FtpListingEntry>& last);
  void DirectoryPage();
  void Download(const std::string& path);
  Stored SendStored(const std::string& file_path, const std::string& stamp, uint64_t size,
                    uint64_t& sent, bool& send_ok);
  void Quit();

  FtpOverHttp& owner_;
  Network& net_;
  const FtpOptions& options_;
  SocketVar& client_;
  SocketVar control_;
  std::string host_text_;
};

bool FtpSession::Command(const std::string& text) {
  const std::string line = text + "\r\n";
  return SendBuffer(control_, line.data(), line.size());
}

// A line reaching the cap ends the conversation: no reply is that long.
bool FtpSession::ReadServerLine(SocketVar& socket, std::string& line) {
  const bool open = ReadLine(socket, options_.max_line, line);
  if (line.size() >= options_.max_line) {
    CloseSocketVar(socket);
    return false;
  }
  return open;
}

// Reads lines until one begins with one of `wanted`; a final negative
// reply (4xx, 5xx) not wanted ends the wait too.
FtpSession::Wait FtpSession::AwaitReply(std::initializer_list<std::string_view> wanted,
                                        std::string& line) {
  for (size_t n = 0; n < options_.max_reply_lines; ++n) {
    if (!ReadServerLine(control_, line)) return Wait::kClosed;
    for (std::string_view w : wanted)
      if (line.starts_with(w)) return Wait::kMatch;
    if (IsFinalReplyLine(line) && (line[0] == '4' || line[0] == '5')) return Wait::kNegative;
  }
  CloseSocketVar(control_);
  return Wait::kTooMany;
}

// The last line of one reply (its continuation lines skipped).
std::optional<std::string> FtpSession::OneReply() {
  std::string line;
  for (size_t n = 0; n < options_.max_reply_lines; ++n) {
    if (!ReadServerLine(control_, line)) return std::nullopt;
    if (IsFinalReplyLine(line)) return line;
  }
  CloseSocketVar(control_);
  return std::nullopt;
}

void FtpSession::Error(int code) {
  const std::string body = "<HTML><HEAD><TITLE>FTP ERROR</TITLE></HEAD><BODY><H2>FTP ERROR<HR>" +
                           std::string(FtpErrorMessage(code)) + "</H2>" + CreatedBy();
  owner_.replies_.SendPage(client_, kNotFoundHeader, body);
  CloseSocketVar(control_);
}

// The data connection of the next transfer; on any failure the control
// connection is closed too. The data must come from the host we talk to:
// another address in the reply would make us a client of any machine the
// server chooses.
SocketVar FtpSession::Passive() {
  std::optional<std::string> reply;
  if (Command("PASV")) reply = OneReply();
  std::optional<PassiveTarget> target = reply ? ParsePassiveReply(*reply) : std::nullopt;
  if (!target || target->address != DottedAddress(GetPeerAddress(control_.handle()))) {
    CloseSocketVar(control_);
    return SocketVar();
  }
  SocketVar data = ConnectOutside(
      net_, client_, target->address + ":" + std::to_string(target->port), kFtpDefaultPort);
  if (!data.is_open()) CloseSocketVar(control_);
  return data;
}

SocketVar FtpSession::OpenListing() {
  if (Command("TYPE A")) (void)OneReply();
  return Passive();
}

void FtpSession::Run(const std::string& url) {
  std::optional<FtpUrl> parsed = ParseFtpUrl(url);
  if (!parsed) return Error(5);  // before any byte goes to the server
  if (url.size() > kMaxFtpUrl) return Error(7);
  host_text_ = parsed->host_text;
  control_ = ConnectOutside(net_, client_, host_text_, kFtpDefaultPort);
  if (!control_.is_open()) return Error(1);
  std::string line;
  if (AwaitReply({"220 "}, line) != Wait::kMatch) return Error(5);

  if (!Command("USER " + parsed->user)) return Error(2);
  switch (AwaitReply({"530 ", "331 ", "230 "}, line)) {
    case Wait::kMatch:
      break;
    case Wait::kTooMany:
      return Error(5);
    default:
      return Error(2);
  }
  if (line.starts_with("530 ")) return Error(10);
  if (!line.starts_with("230 ")) {
    if (!Command("PASS " + parsed->password)) return Error(5);
    switch (AwaitReply({"230 "}, line)) {
      case Wait::kMatch:
        break;
      case Wait::kNegative:
        return Error(3);
      default:
        return Error(5);
    }
  }

  std::optional<std::string> reply;
  if (Command("CWD " + parsed->path)) reply = OneReply();
  if (!reply || reply->starts_with("331 ")) return Error(5);
  if (reply->starts_with("250 ")) return DirectoryPage();
  Download(parsed->path);
}

// The listing of the data connection: the last entry in `last`, and with
// `html` the page lines to the client, then the footer (and the client is
// closed).
void FtpSession::List(SocketVar& data, const std::string& argument, bool html,
                      const std::string& link_path, std::optional<FtpListingEntry>& last) {
  std::optional<std::string> reply;
  if (Command("LIST " + argument)) reply = OneReply();
  const bool listing = reply && reply->starts_with('1');
  std::string batch = html ? "<PRE>\r\n" : "";
  bool client_ok = true;
  const size_t max_lines = html ? options_.max_page_lines : options_.max_lookup_lines;
  std::string line;
  for (size_t n = 0; listing && client_ok && n < max_lines; ++n) {
    const bool open = ReadServerLine(data, line);
    if (line.size() >= options_.max_line) break;
    if (std::optional<FtpListingEntry> entry = ParseListingLine(line)) {
      if (html) batch += FtpListingPageLine(*entry, link_path) + "\r\n";
      last = std::move(entry);
    }
    if (batch.size() >= kPageBatch) {
      client_ok = SendBuffer(client_, batch.data(), batch.size());
      batch.clear();
    }
    if (!open) break;
  }
  if (html) {
    batch += "</PRE>" + CreatedBy();
    if (client_ok) (void)SendBuffer(client_, batch.data(), batch.size());
    CloseSocketVar(client_);
  }
  CloseSocketVar(data);
  if (listing) (void)OneReply();
}

void FtpSession::DirectoryPage() {
  std::string line;
  if (!Command("PWD") || AwaitReply({"257 "}, line) != Wait::kMatch) return Error(5);
  const size_t open_quote = line.find('"');
  const size_t close_quote =
      open_quote == std::string::npos ? open_quote : line.find('"', open_quote + 1);
  const std::string directory = close_quote == std::string::npos
                                    ? ""
                                    : line.substr(open_quote + 1, close_quote - open_quote - 1);
  const std::string link_path = directory.ends_with('/') ? directory : directory + "/";
  const std::string shown = directory.size() < 2 ? "root" : directory;
  // The data connection before the page starts: a server without PASV
  // gets the error page, not half a directory page.
  SocketVar data = OpenListing();
  if (!data.is_open()) return Error(9);
  const std::string head = "HTTP/1.0 200 Ok\r\nContent-Type: text/html\r\n\r\n" +
                           FtpDirectoryPageHead(shown, host_text_);
  if (!SendBuffer(client_, head.data(), head.size())) return Quit();
  std::optional<FtpListingEntry> last;
  List(data, "-l", true, link_path, last);
  Quit();
}

// Sends the bytes of a resume file whose stamp is `stamp` and asks the
// server to restart; `sent` counts what reached the client.
FtpSession::Stored FtpSession::SendStored(const std::string& file_path, const std::string& stamp,
                                          uint64_t size, uint64_t& sent, bool& send_ok) {
  std::unique_ptr<ReadableFile> in = net_.env().OpenForReading(file_path);
  if (!in) return Stored::kNone;
  unsigned char length = 0;
  std::string old;
  if (!ReadFully(*in, reinterpret_cast<char*>(&length), 1)) return Stored::kNone;
  old.resize(length);
  if (!ReadFully(*in, old.data(), old.size()) || old != stamp) return Stored::kNone;
  const uint64_t stored = in->Info().size - 1 - length;
  if (stored > size) return Stored::kNone;
  std::optional<std::string> reply;
  if (Command("REST 100")) reply = OneReply();
  if (!reply || !reply->starts_with("350 ")) return Stored::kNone;
  char buffer[kBlock];
  for (int64_t n; (n = in->Read(buffer, sizeof buffer)) > 0;) {
    if (!SendBuffer(client_, buffer, static_cast<size_t>(n))) {
      send_ok = false;
      return Stored::kResumed;
    }
    sent += static_cast<uint64_t>(n);
  }
  // A read error part-way: what follows would not line up with the file.
  return sent == stored ? Stored::kResumed : Stored::kBroken;
}

void FtpSession::Download(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string name = path.substr(slash + 1);
  std::string directory = path.substr(0, slash);
  if (directory.empty()) directory = "/";
  if (name.empty()) return Error(6);
  if (Command("CWD " + directory)) (void)OneReply();

  std::optional<FtpListingEntry> entry;
  SocketVar data = OpenListing();
  if (!data.is_open()) return Error(9);
  List(data, name, false, "", entry);
  if (!entry || !control_.is_open()) return Error(6);
  const std::optional<uint64_t> size = ParseDecimal(entry->size_text, 19);
  data = Passive();
  if (!data.is_open()) return Error(9);

  // Binary before the REST probe: servers refuse REST in ASCII mode.
  if (Command("TYPE I")) (void)OneReply();

  std::string head = "HTTP/1.0 200 Ok\r\n";
  if (size) head += "Content-Length: " + std::to_string(*size) + "\r\n";
  head += "Last-Modified: " + Trim(entry->date_text) + "\r\n\r\n";
  bool send_ok = SendBuffer(client_, head.data(), head.size());

  // The resume file: only with a known size, and only one download at a
  // time; the others go straight from the server.
  Env& env = net_.env();
  std::string file_path;
  std::unique_ptr<FtpOverHttp::KeyHold> hold;
  const std::optional<std::string> key = FtpResumeKey(host_text_, path);
  const std::string resume_dir = owner_.ResumeDirectory();
  if (size && key && !resume_dir.empty()) {
    hold = std::make_unique<FtpOverHttp::KeyHold>(owner_, *key);
    if (hold->held()) file_path = resume_dir + *key;
  }
  uint64_t sent = 0;
  bool keep_file = true;
  std::unique_ptr<WritableFile> file;
  if (!file_path.empty() && send_ok) {
    const std::string stamp = FtpResumeStamp(entry->size_text, entry->date_text);
    switch (SendStored(file_path, stamp, *size, sent, send_ok)) {
      case Stored::kResumed:
        file = env.OpenForWriting(file_path, Env::OpenMode::kAppendExisting, 0600);
        break;
      case Stored::kBroken:
        keep_file = false;
        break;
      case Stored::kNone:
        (void)env.MakeDirectory(resume_dir.substr(0, resume_dir.size() - 1), 0700);
        file = env.OpenForWriting(file_path, Env::OpenMode::kTruncate, 0600);
        if (file && !file->Append(std::string(1, static_cast<char>(stamp.size())) + stamp))
          file.reset();
        break;
    }
  }

  bool transfer_reply_due = false;
  if (send_ok && (!size || sent != *size)) {
    std::optional<std::string> reply = "350 ";
    if (sent > 0 && Command("REST " + std::to_string(sent))) reply = OneReply();
    // Without the restart the server would send the file from its start.
    if (reply && reply->starts_with("350 ") && Command("RETR " + name) && (reply = OneReply()) &&
        reply->starts_with('1')) {
      char buffer[kBlock];
      while (!size || sent < *size) {
        const size_t want = size ? std::min<uint64_t>(kBlock, *size - sent) : kBlock;
        const int n = ReadBuffered(data, buffer, want);
        if (n < 1) break;
        if (file && !file->Append(std::string_view(buffer, static_cast<size_t>(n)))) {
          file.reset();
          keep_file = false;  // a gap in the file
        }
        if (!SendBuffer(client_, buffer, static_cast<size_t>(n))) {
          send_ok = false;
          break;
        }
        sent += static_cast<uint64_t>(n);
      }
      if (file) (void)file->Close();
      transfer_reply_due = send_ok;
    }
  }
  file.reset();
  CloseSocketVar(data);
  // Done with the file and the client before the server has its say.
  if (!file_path.empty() && (!keep_file || (size && sent == *size)))
    (void)env.RemoveFile(file_path);
  CloseSocketVar(client_);
  if (transfer_reply_due) (void)OneReply();
  Quit();
}

void FtpSession::Quit() {
  if (control_.is_open() && Command("QUIT")) (void)OneReply();
  CloseSocketVar(control_);
}

FtpOverHttp::FtpOverHttp(Network& net, FtpOptions options)
    : net_(net), options_(options), replies_(net.env()) {}

void FtpOverHttp::SetCacheDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> lock(mu_);
  resume_dir_ = dir.empty() ? "" : dir + "FTP/";
}

std::string FtpOverHttp::ResumeDirectory() {
  std::lock_guard<std::mutex> lock(mu_);
  return resume_dir_;
}

void FtpOverHttp::Serve(SocketVar& client, const std::string& url) {
  FtpSession(*this, client).Run(url);
  CloseSocketVar(client);
}

FtpOverHttp::KeyHold::KeyHold(FtpOverHttp& owner, const std::string& key)
    : owner_(owner), key_(key) {
  std::lock_guard<std::mutex> lock(owner_.mu_);
  held_ = owner_.held_.insert(key_).second;
}

FtpOverHttp::KeyHold::~KeyHold() {
  if (!held_) return;
  std::lock_guard<std::mutex> lock(owner_.mu_);
  owner_.held_.erase(key_);
}

}  // namespace netrove
