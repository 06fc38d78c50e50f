#include "update/auto_update.h"

#include <algorithm>

#include "proxy/cache_codec.h"
#include "proxy/http_head.h"
#include "proxy/proxy_service.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr size_t kMaxUrl = 255;

std::string StampBytes(uint32_t stamp) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((stamp >> (8 * i)) & 0xff);
  return bytes;
}

uint32_t StoredStamp(Env& env) {
  std::optional<std::string> bytes = env.ReadFile(kUpdateStampFile, 4);
  if (!bytes || bytes->size() != 4) return 0;
  uint32_t stamp = 0;
  for (int i = 3; i >= 0; --i) stamp = (stamp << 8) | static_cast<uint8_t>((*bytes)[i]);
  return stamp;
}

// What the answer's header says about the file.
struct UpdateHead {
  bool complete = false;  // the empty line came
  bool status_ok = false;
  bool refused = false;  // too long, conflicting lengths, a transfer coding
  std::optional<uint64_t> length;
  uint32_t stamp = 0;
};

// Feeds one header line (as HeadReader gives it) into `head`.
void HeadLine(UpdateHead& head, std::string_view raw, bool first) {
  const std::string line = UpperAscii(raw);
  if (first) {
    size_t space = line.find(' ');
    head.status_ok = line.rfind("HTTP/1.", 0) == 0 && space != std::string::npos &&
                     line.compare(space + 1, 3, "200") == 0 &&
                     (line.size() == space + 4 || line[space + 4] == ' ');
  } else if (line.empty()) {
    head.complete = true;
  } else if (std::optional<std::string_view> value = HeaderValue(line, "Content-Length")) {
    std::optional<int32_t> length = ParseContentLength(*value);
    if (!length || (head.length && *head.length != static_cast<uint64_t>(*length)))
      head.refused = true;
    if (length) head.length = static_cast<uint64_t>(*length);
  } else if (HeaderValue(line, "Last-Modified")) {
    head.stamp = UpdateStamp(line);
  } else if (HeaderValue(line, "Transfer-Encoding")) {
    head.refused = true;
  }
}

// Removes its file when it goes, whatever became of it: after the rename
// the name is free and the removal does nothing.
struct TemporaryFile {
  Env& env;
  std::string path;
  ~TemporaryFile() { (void)env.RemoveFile(path); }
};

}  // namespace

std::optional<UpdateUrl> ParseUpdateUrl(std::string_view text) {
  if (text.size() > kMaxUrl || !StartsWithNoCase(text, "http://")) return std::nullopt;
  for (char c : text)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return std::nullopt;
  text.remove_prefix(7);
  size_t slash = text.find('/');
  if (slash == 0 || slash == std::string_view::npos) return std::nullopt;
  UpdateUrl url;
  url.host = std::string(text.substr(0, slash));
  url.path = std::string(text.substr(slash));
  if (url.host.find_first_of("@?#") != std::string::npos) return std::nullopt;
  size_t colon = url.host.find(':');
  url.name = url.host.substr(0, colon);
  if (url.name.empty()) return std::nullopt;
  if (colon != std::string::npos) {
    const std::optional<uint16_t> port =
        ParsePortNumber(std::string_view(url.host).substr(colon + 1));
    if (!port || *port == 0) return std::nullopt;
    url.port = *port;
  }
  return url;
}

uint32_t UpdateStamp(std::string_view upper_line) {
  std::string_view line = upper_line.substr(0, 255);
  std::string counted(1, static_cast<char>(line.size()));
  counted.append(line);
  return Crc32(counted);
}

AutoUpdate::AutoUpdate(Network& network, const AutoUpdateOptions& options)
    : net_(network), options_(options) {}

AutoUpdate::~AutoUpdate() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  Tasks::TakeAndStop(mu_, next_, check_);
}

bool AutoUpdate::CheckedToday() {
  Env& env = net_.env();
  std::optional<FileInfo> info = env.Stat(kUpdateStampFile);
  if (!info) return false;
  const int64_t utc = info->mtime_ns / 1000000000;
  const int64_t file_day = (utc + env.LocalOffsetAt(utc)) / 86400;
  return file_day == env.LocalSeconds() / 86400;
}

void AutoUpdate::StartAutoUpdate() {
  std::shared_ptr<const ConfigRecord> config = net_.config().Current();
  if (!config->auto_update) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (stopping_) return;
  if (!Tasks::Running(next_))
    next_ = net_.tasks().Start("Auto update next", [this](uint32_t) { return NextTask(); });
  if (busy_) return;
  // Cheap tests first: the session controller calls this every second.
  if (config->proxy.empty() || !ParseUpdateUrl(config->update_url) || CheckedToday()) return;
  const int64_t failed_at = failed_at_ms_.load();
  if (failed_at != kNever && net_.env().MonotonicMs() - failed_at < options_.retry_ms) return;
  busy_ = true;
  Tasks::Stop(check_);  // the last check has ended (it cleared busy_)
  check_ = net_.tasks().Start("Auto update", [this](uint32_t) {
    if (CheckNow() == UpdateResult::kNoConnection) failed_at_ms_ = net_.env().MonotonicMs();
    busy_ = false;
    return 0u;
  });
}

uint32_t AutoUpdate::NextTask() {
  while (net_.config().Current()->auto_update) {
    if (!TaskSleep(options_.day_ms)) return 0;
    StartAutoUpdate();
  }
  return 0;
}

SocketVar AutoUpdate::ConnectFor(const UpdateUrl& url, std::string& request) {
  std::shared_ptr<const ConfigRecord> config = net_.config().Current();
  const std::string proxy = UpperAscii(config->proxy);
  const std::string computer = UpperAscii(ComputerName());
  const std::string host_line = "Host: " + url.host + "\r\n";
  if (proxy == "LOCALHOST" || (!computer.empty() && proxy == computer)) {
    request = "GET " + url.path + " HTTP/1.0\r\n" + host_line + "\r\n";
    return net_.connector().Connect(url.host, 80);
  }
  request = "GET http://" + url.host + url.path + " HTTP/1.0\r\n";
  if (!config->proxy_auth_string.empty())
    request += "Proxy-Authorization: " + config->proxy_auth_string + "\r\n";
  request += host_line + "\r\n";
  return net_.connector().Connect(config->proxy, kProxyPort);
}

UpdateResult AutoUpdate::CheckNow() {
  Env& env = net_.env();
  std::shared_ptr<const ConfigRecord> config = net_.config().Current();
  std::optional<UpdateUrl> url = ParseUpdateUrl(config->update_url);
  if (config->proxy.empty() || !url) return UpdateResult::kNotConfigured;
  if (CheckedToday()) return UpdateResult::kCheckedToday;
  const int64_t deadline = env.MonotonicMs() + options_.deadline_ms;

  std::string request;
  SocketVar connection = ConnectFor(*url, request);
  if (!connection.is_open() || !SendBuffer(connection, request.data(), request.size()))
    return UpdateResult::kNoConnection;
  const uint32_t stored = StoredStamp(env);
  (void)WriteFileAtomically(env, kUpdateStampFile, StampBytes(stored));  // checked today

  UpdateHead head;
  HeadReader reader(connection, env, deadline - env.MonotonicMs(), options_.max_header_bytes);
  std::string line;
  for (bool first = true; !head.complete && !head.refused; first = false) {
    // Closed, too long or too slow before the header ended.
    if (!reader.Next(line)) return UpdateResult::kUnchanged;
    HeadLine(head, line, first);
  }
  if (head.refused || !head.status_ok || !head.length || head.stamp == stored ||
      *head.length < kMinUpdateBytes || *head.length > options_.max_bytes || !connection.is_open())
    return UpdateResult::kUnchanged;
  return Download(connection, *head.length, head.stamp, deadline);
}

UpdateResult AutoUpdate::Download(SocketVar& connection, uint64_t length, uint32_t stamp,
                                  int64_t deadline) {
  Env& env = net_.env();
  TemporaryFile temporary{env, std::string(kUpdateDownloadFile) + "." + UniqueTemporarySuffix()};
  std::unique_ptr<WritableFile> file =
      env.OpenForWriting(temporary.path, Env::OpenMode::kCreateOnly, 0600);
  if (!file) return UpdateResult::kWriteFailed;
  uint64_t got = 0;
  char buffer[512];
  while (got < length) {
    if (env.MonotonicMs() > deadline) return UpdateResult::kInterrupted;
    int n = ReadBuffered(connection, buffer,
                         static_cast<size_t>(std::min<uint64_t>(sizeof buffer, length - got)));
    if (n <= 0) return UpdateResult::kInterrupted;
    if (!file->Append(std::string_view(buffer, static_cast<size_t>(n))))
      return UpdateResult::kWriteFailed;
    got += static_cast<uint64_t>(n);
  }
  CloseSocketVar(connection);
  if (!file->Sync() || !file->Close() || !env.Rename(temporary.path, kUpdateDownloadFile))
    return UpdateResult::kWriteFailed;
  (void)WriteFileAtomically(env, kUpdateStampFile, StampBytes(stamp));
  downloaded_ = true;
  net_.log().Write(std::string("Auto update: new build saved as ") + kUpdateDownloadFile + " (" +
                   std::to_string(length) + " bytes)");
  return UpdateResult::kDownloaded;
}

}  // namespace netrove
