// The settings a front-end edits: one connection's values as the settings
// record carries them, made from a loaded configuration record, and the
// lines of netrove.dat written back from them. Pure functions;
// thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/config_writer.h"

namespace netrove {

struct FrontSettings {
  std::string section, entry_name, user;
  std::string password_mask;  // see PasswordMask
  std::string phone, domain, check_url;
  uint16_t check_url_time = 0;
  std::string log_file;
  bool auto_hide = false, redial = true;
  std::string dial_prefix;
  uint16_t dial_time = 0, max_retry = 0, wait_time = 0, sleep_time = 0;
  std::vector<std::string> add_phone, off_phone, event_id;
  std::string break_flag, sleep_flag, connect_flag, dial_flag;
  bool break_if_found = true;
  std::vector<std::string> break_times, execute_flag, execute_start, execute_end, execute,
      execute_at, cost;
  int32_t day_time_limit = 0, week_time_limit = 0, month_time_limit = 0;  // seconds
  std::string proxy, pop3, smtp, nntp;
  uint16_t ftp = 0, socks4 = 0;
  std::string port_dog;
  uint16_t cache_dns_day = 0;
  uint32_t net_stop_time = 0, net_sleep_time = 0;
  std::vector<std::string> map_link;
  bool hide_proxy = true, hide_pop3 = true, hide_smtp = true, hide_nntp = true, hide_ftp = true,
       hide_socks4 = true, hide_port = true;
  uint16_t netrove_port = 0;
  bool operator==(const FrontSettings&) const = default;
};

// The mask of a password of `length` characters: codes 1 to 31, again and
// again, one per character.
std::string PasswordMask(size_t length);
// The password a mask stands for: a character below 32 keeps the stored
// character at the first position after the previous kept one whose mask
// code it is (so a front-end may delete or insert characters); any other
// character is itself. A code with no such stored position is dropped.
std::string UnmaskPassword(const std::string& mask, const std::string& stored);

// The settings of a record loaded in collect mode for `section`;
// `stored_phone` is the entry's own number, shown when PHONE is empty.
FrontSettings SettingsFromConfig(const ConfigRecord& record, const std::string& section,
                                 const std::string& stored_phone);

// The common settings, as the global part carries them.
std::vector<ConfigLine> CommonSettingLines(const FrontSettings& s);
// A whole connection section: the connection lines, "DefLoad NO", the
// common settings and the list lines. `password_value` is the PASSWORD
// value to write.
std::vector<ConfigLine> SectionLines(const FrontSettings& s, const std::string& password_value);

}  // namespace netrove
