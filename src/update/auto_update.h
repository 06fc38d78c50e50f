// The automatic update: once a calendar day, while AUTOUPDATE is on, the
// program asks the update server (UPDATEURL) whether a newer build than the
// last one it downloaded is there, and downloads it as "netrove.dl_" in the
// program directory.
//
// "netrove.upd" holds the stamp of the last complete download (the CRC-32
// of its Last-Modified line, 4 bytes, little-endian); its modification date
// is the day of the last check. The request goes through the upstream
// proxy named by PROXY, or straight to the update server when PROXY names
// this machine (what our own proxy's relay would do with it).
//
// The server is not trusted: the answer must be "200", its header is
// bounded, the body must have the announced length, between
// kMinUpdateBytes and max_bytes, and the whole check has a deadline. The
// body is written to a temporary file and renamed to "netrove.dl_" only
// when complete; an interrupted download leaves an earlier "netrove.dl_"
// and the stamp as they were. Nothing from the server names a file, and
// nothing downloaded is run or installed: the file is written mode 0600
// for whoever installs builds on this machine, and the update-downloaded
// flag tells a front-end that it is there.
//
// Thread safety: every member may be called from any task.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "net/network.h"
#include "runtime/tasks.h"

namespace netrove {

inline constexpr uint64_t kMinUpdateBytes = 10000;
inline constexpr char kUpdateStampFile[] = "netrove.upd";
inline constexpr char kUpdateDownloadFile[] = "netrove.dl_";

// What the session controller and the $UPDATE macro ask for.
class UpdateStarter {
 public:
  virtual ~UpdateStarter() = default;
  // Starts a check on the task "Auto update" unless one runs, is not
  // configured, was done today, or failed less than a retry period ago;
  // and the task "Auto update next" (a check every day) unless it runs.
  virtual void StartAutoUpdate() = 0;
};

struct AutoUpdateOptions {
  int64_t day_ms = 86400000;
  // After a check that did not get through, the next waits this long.
  int64_t retry_ms = 15 * 60 * 1000;
  // One check, the download included.
  int64_t deadline_ms = 15 * 60 * 1000;
  uint64_t max_bytes = 64u << 20;
  size_t max_header_bytes = 65530;
};

// UPDATEURL: "http://host[:port]/path".
struct UpdateUrl {
  std::string host;  // as written, with ":port" when given
  std::string name;  // without the port
  uint16_t port = 80;
  std::string path;  // from its "/"
};
// Nullopt unless the text is an http URL with a host and a path, without
// blanks or control characters.
std::optional<UpdateUrl> ParseUpdateUrl(std::string_view text);

// The stamp of a Last-Modified header line as read (upper-cased, without
// its line end): CRC-32 of the line's length as one byte followed by the
// line, cut to 255 characters.
uint32_t UpdateStamp(std::string_view upper_line);

enum class UpdateResult {
  kNotConfigured,  // AUTOUPDATE off, no PROXY or no valid UPDATEURL
  kCheckedToday,
  kNoConnection,  // the connection or the request failed
  kUnchanged,     // no newer build, or an answer that offers none
  kInterrupted,   // the download stopped short or ran out of time
  kWriteFailed,
  kDownloaded,
};

class AutoUpdate final : public UpdateStarter {
 public:
  explicit AutoUpdate(Network& network, const AutoUpdateOptions& options = AutoUpdateOptions());
  // Stops both tasks.
  ~AutoUpdate() override;
  AutoUpdate(const AutoUpdate&) = delete;
  AutoUpdate& operator=(const AutoUpdate&) = delete;

  void StartAutoUpdate() override;
  // One check on the calling task, as "Auto update" runs it.
  UpdateResult CheckNow();
  // Set by a complete download.
  bool downloaded() const { return downloaded_.load(); }

 private:
  bool CheckedToday();
  SocketVar ConnectFor(const UpdateUrl& url, std::string& request);
  UpdateResult Download(SocketVar& connection, uint64_t length, uint32_t stamp, int64_t deadline);
  uint32_t NextTask();

  static constexpr int64_t kNever = INT64_MIN;

  Network& net_;
  const AutoUpdateOptions options_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> downloaded_{false};
  // MonotonicMs of the last check that could not reach the server.
  std::atomic<int64_t> failed_at_ms_{kNever};
  std::mutex mu_;
  bool stopping_ = false;  // guarded by mu_: no task starts once set
  TaskHandle check_;       // guarded by mu_
  TaskHandle next_;        // guarded by mu_
};

}  // namespace netrove
