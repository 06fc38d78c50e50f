// netrove.dat: the configuration record and its loader.
//
// The record is immutable once published: a load builds a fresh record and
// swaps it in whole, so a task that holds a snapshot never sees a half-read
// file. Values that the program changes while it runs (WAITTIME by the "+"
// and "-" keys, CHECKURLTIME) are changed through UpdateConfig.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dialer/entries.h"

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

  // Collect mode: the acting lines as normalised text, nothing run.
  std::vector<std::string> collected_execute_start, collected_execute_at, collected_execute_flag,
      collected_event_id, collected_break;

  std::string statistics_name;  // name of the ".lim" file (without extension)
  bool section_found = false;   // the connection had its own section

  bool operator==(const ConfigRecord&) const = default;
};

// The current record (never null).
std::shared_ptr<const ConfigRecord> CurrentConfig();
// Applies `change` to a copy of the current record and publishes the copy.
void UpdateConfig(const std::function<void(ConfigRecord&)>& change);

// Makes the program directory the working directory, reads netrove.dat
// there (creating it with the default content when missing) for
// `connection` and publishes the record; then sets the log file name, the
// time limits, the tariffs (hook) and loads the statistics. LinkMode and
// ControlRequest become 0, StatusText "00:00:00". EXECUTESTART and
// EXECUTEAT lines act after the record is published, in file order, once
// (a section read twice for DEFLOAD No acts only on its final reading).
// With `collect` set, acting lines are only collected. Fatal problems ("Can't create Netrove.dat
// file.", "Can't read Netrove.dat file.", "Connection not found.") end the program with exit
// code 99. Call from one thread at a time (the driver's).
void LoadConfiguration(const std::string& connection, bool collect = false);

// --- The reader core, without files, hooks or process state (for tests,
// fuzzing and the front-end exports).

// What the reader needs from the rest of the program.
struct ParseEnvironment {
  std::function<std::string(const std::string&)> resolve_entry;  // phonebook spelling
  std::function<bool(const std::string&)> entry_exists;
  std::function<std::optional<EntryDefaults>(const std::string&)> entry_defaults;
  uint32_t now = 0;         // NowSeconds() for BREAK
  uint32_t volume_key = 0;  // key of "$" passwords
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

// Load steps 1, 2 and 5-13 on the text of netrove.dat. `previous` supplies
// the values that survive a reset. Never fails; hostile text is bounded.
ParseResult ParseConfiguration(const std::string& text, const std::string& connection, bool collect,
                               const ConfigRecord& previous, const ParseEnvironment& env);

// A reset record: table defaults, with the surviving values of `previous`.
ConfigRecord ResetConfigRecord(const ConfigRecord& previous);

// Warning lines of the last load ("Warning: Unknown command X.").
std::vector<std::string> ConfigWarnings();

// What the acting keywords do. The events module installs the real ones;
// until then EXECUTESTART and EXECUTEAT only log "Execute " + command.
struct ConfigHooks {
  std::function<void(const std::string& command)> execute_start;
  std::function<void(const std::string& time, const std::string& command)> execute_at;
  // Stops the EXECUTEAT tasks and the "Halt service" task (first step of a reset).
  std::function<void()> stop_acting_tasks;
  // The tariff table and COSTPERMINUTE of the new record (SetTariffs).
  std::function<void(const std::vector<std::string>& cost, bool cost_per_minute)> tariffs;
  // Session counters of a reset: the controller's try index and failure
  // count, the dialer's keep-link-at-exit flag.
  std::function<void()> session_reset;
};
// Thread-safe; hooks are called on the loading thread, never under a lock.
void SetConfigHooks(ConfigHooks hooks);

}  // namespace netrove
