// netrove.dat: the configuration record and its store.
//
// The record is immutable once published: a load builds a fresh record and
// swaps it in whole, so a task that holds a snapshot never sees a half-read
// file. Values that the program changes while it runs (WAITTIME by the "+"
// and "-" keys, CHECKURLTIME) are changed through ConfigStore::Update.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "runtime/env.h"
#include "runtime/log.h"
#include "runtime/shared_state.h"

namespace netrove {

inline constexpr char kProxyUserName[] = "Name_Reserved_for_PROXY_connection";
inline constexpr char kConfigFileName[] = "netrove.dat";

enum class EventAction : uint8_t { kExec = 0, kReload = 1, kExit = 2 };

struct EventRule {
  uint16_t number = 0;
  uint16_t count = 0;  // running count, starts at 0
  uint16_t threshold = 0;
  EventAction action = EventAction::kExec;
  std::string text;  // empty for EXIT
  bool operator==(const EventRule&) const = default;
};

struct ConfigRecord {
  // Connection
  std::string entry_name;  // CONNECTION (default: the section name, resolved)
  std::string user, domain, phone;
  std::string password_text;           // PASSWORD as written
  std::string password;                // decoded
  std::vector<std::string> add_phone;  // first entry stands for PHONE / the entry's own number
  std::vector<std::string> off_phone;
  std::string dial_prefix;
  uint16_t dial_time = 60, wait_time = 10, sleep_time = 60, max_retry = 0;
  bool redial = true, break_if_found = true;
  uint32_t break_time = 0;  // earliest BREAK as NowSeconds, 0 = none
  std::string break_flag, sleep_flag, connect_flag, dial_flag;
  std::string check_url;
  uint16_t check_url_time = 0, net_sleep_time = 0, net_stop_time = 0;
  int32_t day_time_limit = 0, week_time_limit = 0, month_time_limit = 0;  // seconds after load
  std::vector<std::string> cost;
  bool cost_per_minute = false;
  std::vector<std::string> execute, execute_end;
  std::vector<std::string> execute_flag_files, execute_flag_commands;  // equal length
  std::vector<EventRule> events;
  std::string modem_statistics;
  std::string log_file;
  bool def_load = true, auto_hide = false;
  uint16_t netrove_port = 0;
  // Gate services
  std::string proxy, proxy_log, proxy_auth_string;
  std::string proxy_size = "0", proxy_disk_free = "3%";
  std::string proxy_cache_dir = "ProxyCache/";
  bool hide_proxy = true;
  std::string pop3;
  bool pop3_server = true;
  uint16_t pop3_server_port = 0, pop3_server_sleep = 60;
  int32_t max_len_pop3_mail = 2147483647;
  bool hide_pop3 = true;
  uint16_t pop3_via_web_port = 0;
  bool hide_pop3_via_web = true;
  std::string smtp;
  bool hide_smtp = true;
  uint16_t smtp_max_size = 32;  // megabytes a message may have (SMTP server)
  std::string nntp;
  bool hide_nntp = true;
  uint16_t ftp = 0;
  bool hide_ftp = true;
  uint16_t socks4 = 0;
  bool hide_socks4 = true;
  std::vector<std::string> map_link, map_ulink;  // "port,host:port,option"
  std::string port_dog;
  uint16_t cache_dns_day = 3;
  bool auto_update = false, hide_port = true, rtsp = false, hide_rtsp = true;
  std::string update_url;  // "http://host[:port]/path" of the update file; "" = no update

  // Collect mode: the acting lines as normalised text, nothing run.
  std::vector<std::string> collected_execute_start, collected_execute_at, collected_execute_flag,
      collected_event_id, collected_break;

  std::string statistics_name;  // name of the ".lim" file (without extension)
  bool section_found = false;   // the connection had its own section

  bool operator==(const ConfigRecord&) const = default;
};

// What a load does beyond the record, wired by the program: the reset of
// what the previous load started, and what follows the new record.
class ConfigActions {
 public:
  virtual ~ConfigActions() = default;
  // Before the file is read: the EXECUTEAT tasks and the "Halt service" of
  // the previous load end, the session's counters start again.
  virtual void Reset() = 0;
  // The record is published: the log file, time limits, tariffs and the
  // statistics file follow it.
  virtual void Published(const ConfigRecord& record) = 0;
  // The acting lines of the final reading, in file order, once.
  virtual void ExecuteStart(const std::string& command) = 0;
  virtual void ExecuteAt(const std::string& time, const std::string& command) = 0;
};

struct ParseEnvironment;

class ConfigStore {
 public:
  ConfigStore() : current_(std::make_shared<const ConfigRecord>()) {}
  ConfigStore(const ConfigStore&) = delete;
  ConfigStore& operator=(const ConfigStore&) = delete;

  // The current record (never null).
  std::shared_ptr<const ConfigRecord> Current() const;
  // Applies `change` to a copy of the current record and publishes the copy.
  void Update(const std::function<void(ConfigRecord&)>& change);
  // Warning lines of the last load ("Warning: Unknown command X. (netrove.dat,
  // line N)").
  std::vector<std::string> Warnings() const;

  // Reads netrove.dat in the working directory (the program directory),
  // creating it with the default content when missing, for `connection`,
  // and publishes the record: actions.Reset() first; LinkMode and
  // ControlRequest become 0 (a stop asked for by a signal stays), StatusText
  // "00:00:00"; the log lines of the load are logged; then
  // actions.Published and the acting lines. With `collect` acting lines
  // are only collected. A fatal problem is returned as its message ("Can't
  // create Netrove.dat file.", "Can't read Netrove.dat file.", "Connection
  // not found."); nothing is published then. Call from one thread at a
  // time (the driver's).
  [[nodiscard]] std::optional<std::string> Load(Env& env, Log& log, SharedState& shared,
                                                ConfigActions& actions,
                                                const ParseEnvironment& parse_env,
                                                const std::string& connection,
                                                bool collect = false);

 private:
  mutable std::mutex mu_;
  std::shared_ptr<const ConfigRecord> current_;  // guarded by mu_
  std::vector<std::string> warnings_;            // guarded by mu_
};

// User name, password, domain and phone number stored with a phonebook
// entry.
struct EntryDefaults {
  std::string user, password, domain, phone;
};

// --- The reader core, without files, hooks or process state (for tests,
// fuzzing and the front-end exports).

// What the reader needs from the rest of the program.
struct ParseEnvironment {
  std::function<std::string(const std::string&)> resolve_entry;  // phonebook spelling
  std::function<bool(const std::string&)> entry_exists;
  std::function<std::optional<EntryDefaults>(const std::string&)> entry_defaults;
  uint32_t now = 0;            // NowSeconds for BREAK
  uint32_t volume_key = 0;     // key of "$" passwords
  std::string phonebook_path;  // named when a connection is not found
};

// An acting line to carry out once the record is published.
struct ActingLine {
  enum class Kind { kExecuteStart, kExecuteAt } kind;
  std::string time;  // EXECUTEAT only
  std::string command;
};

struct ParseResult {
  ConfigRecord record;
  std::vector<std::string> warnings;
  std::vector<ActingLine> acting;      // in file order; empty in collect mode
  std::vector<std::string> log_lines;  // messages for the log, in order
  // Fatal "Connection not found.": neither a section nor a phonebook entry.
  bool connection_not_found = false;
};

// The reader core on the text of netrove.dat: a fresh record (with the
// values of `previous` that survive a reset), the global part, the
// section (read twice for DEFLOAD No), the password, the phonebook's
// credentials, the time limits and the statistics name. Never fails;
// hostile text is bounded.
ParseResult ParseConfiguration(const std::string& text, const std::string& connection, bool collect,
                               const ConfigRecord& previous, const ParseEnvironment& env);

// A reset record: table defaults, with the surviving values of `previous`.
ConfigRecord ResetConfigRecord(const ConfigRecord& previous);

}  // namespace netrove
