#include "driver/front_settings.h"

namespace netrove {
namespace {

std::string YesNo(bool value) { return value ? "YES" : "NO"; }

void AddList(std::vector<ConfigLine>& out, const char* keyword,
             const std::vector<std::string>& entries) {
  size_t before = out.size();
  for (const std::string& e : entries) {
    if (!e.empty()) out.push_back({keyword, e});
  }
  if (out.size() == before) out.push_back({keyword, "", true});
}

}  // namespace

std::string PasswordMask(size_t length) {
  std::string mask(length, '\0');
  for (size_t i = 0; i < length; ++i) mask[i] = static_cast<char>(i % 31 + 1);
  return mask;
}

std::string UnmaskPassword(const std::string& mask, const std::string& stored) {
  std::string out;
  size_t next = 0;  // first stored position a kept character may take
  for (char c : mask) {
    unsigned char code = static_cast<unsigned char>(c);
    if (code >= 32) {
      out += c;
      continue;
    }
    if (code == 0) continue;
    size_t pos = next;
    while (pos < stored.size() && pos % 31 + 1 != code) ++pos;
    if (pos >= stored.size()) continue;
    out += stored[pos];
    next = pos + 1;
  }
  return out;
}

FrontSettings SettingsFromConfig(const ConfigRecord& r, const std::string& section,
                                 const std::string& stored_phone) {
  FrontSettings s;
  s.section = section;
  s.entry_name = r.entry_name;
  s.user = r.user;
  s.password_mask = PasswordMask(r.password.size());
  s.phone = r.phone.empty() ? stored_phone : r.phone;
  s.domain = r.domain;
  s.check_url = r.check_url;
  s.check_url_time = r.check_url_time;
  s.log_file = r.log_file;
  s.auto_hide = r.auto_hide;
  s.redial = r.redial;
  s.dial_prefix = r.dial_prefix;
  s.dial_time = r.dial_time;
  s.max_retry = r.max_retry;
  s.wait_time = r.wait_time;
  s.sleep_time = r.sleep_time;
  // The first ADDPHONE place stands for PHONE itself.
  for (size_t i = 1; i < r.add_phone.size(); ++i) s.add_phone.push_back(r.add_phone[i]);
  s.off_phone = r.off_phone;
  s.event_id = r.collected_event_id;
  s.break_flag = r.break_flag;
  s.sleep_flag = r.sleep_flag;
  s.connect_flag = r.connect_flag;
  s.dial_flag = r.dial_flag;
  s.break_if_found = r.break_if_found;
  s.break_times = r.collected_break;
  s.execute_flag = r.collected_execute_flag;
  s.execute_start = r.collected_execute_start;
  s.execute_end = r.execute_end;
  s.execute = r.execute;
  s.execute_at = r.collected_execute_at;
  s.cost = r.cost;
  s.day_time_limit = r.day_time_limit;
  s.week_time_limit = r.week_time_limit;
  s.month_time_limit = r.month_time_limit;
  s.proxy = r.proxy;
  s.pop3 = r.pop3;
  s.smtp = r.smtp;
  s.nntp = r.nntp;
  s.ftp = r.ftp;
  s.socks4 = r.socks4;
  s.port_dog = r.port_dog;
  s.cache_dns_day = r.cache_dns_day;
  s.net_stop_time = r.net_stop_time;
  s.net_sleep_time = r.net_sleep_time;
  s.map_link = r.map_link;
  s.hide_proxy = r.hide_proxy;
  s.hide_pop3 = r.hide_pop3;
  s.hide_smtp = r.hide_smtp;
  s.hide_nntp = r.hide_nntp;
  s.hide_ftp = r.hide_ftp;
  s.hide_socks4 = r.hide_socks4;
  s.hide_port = r.hide_port;
  s.netrove_port = r.netrove_port;
  return s;
}

std::vector<ConfigLine> CommonSettingLines(const FrontSettings& s) {
  auto n = [](auto v) { return std::to_string(v); };
  return {
      {"AUTOHIDE", YesNo(s.auto_hide)},
      {"CHECKURL", s.check_url},
      {"CHECKURLTIME", n(s.check_url_time)},
      {"LOGFILE", s.log_file},
      {"REDIAL", YesNo(s.redial)},
      {"HideProxy", YesNo(s.hide_proxy)},
      {"HidePOP3", YesNo(s.hide_pop3)},
      {"HideSMTP", YesNo(s.hide_smtp)},
      {"HideNNTP", YesNo(s.hide_nntp)},
      {"HideFTP", YesNo(s.hide_ftp)},
      {"HideSOCKS4", YesNo(s.hide_socks4)},
      {"HidePort", YesNo(s.hide_port)},
      {"DIALPREFIX", s.dial_prefix},
      {"DIALTIME", n(s.dial_time)},
      {"MAXRETRY", n(s.max_retry)},
      {"WAITTIME", n(s.wait_time)},
      {"SLEEPTIME", n(s.sleep_time)},
      {"BREAKFLAG", s.break_flag},
      {"SLEEPFLAG", s.sleep_flag},
      {"CONNECTFLAG", s.connect_flag},
      {"DIALFLAG", s.dial_flag},
      {"BREAKIFFOUND", YesNo(s.break_if_found)},
      {"DAYTIMELIMIT", n(s.day_time_limit)},
      {"WEEKTIMELIMIT", n(s.week_time_limit)},
      {"MONTHTIMELIMIT", n(s.month_time_limit)},
      {"NETROVEPORT", n(s.netrove_port)},
      {"PROXY", s.proxy},
      {"POP3", s.pop3},
      {"SMTP", s.smtp},
      {"NNTP", s.nntp},
      {"FTP", n(s.ftp)},
      {"SOCKS4", n(s.socks4)},
      {"PORTDOG", s.port_dog},
      {"CACHEDNSDAY", n(s.cache_dns_day)},
      {"NETSTOPTIME", n(s.net_stop_time)},
      {"NETSLEEPTIME", n(s.net_sleep_time)},
  };
}

std::vector<ConfigLine> SectionLines(const FrontSettings& s, const std::string& password_value) {
  std::vector<ConfigLine> out = {
      {"Connection", s.entry_name}, {"User", s.user},     {"Password", password_value},
      {"Phone", s.phone},           {"Domain", s.domain},
  };
  AddList(out, "AddPhone", s.add_phone);
  AddList(out, "OffPhone", s.off_phone);
  out.push_back({"DefLoad", "NO"});
  for (ConfigLine& line : CommonSettingLines(s)) out.push_back(std::move(line));
  AddList(out, "MapLink", s.map_link);
  AddList(out, "EventID", s.event_id);
  AddList(out, "Break", s.break_times);
  AddList(out, "ExecuteStart", s.execute_start);
  AddList(out, "Execute", s.execute);
  AddList(out, "ExecuteEnd", s.execute_end);
  AddList(out, "ExecuteFlag", s.execute_flag);
  AddList(out, "ExecuteAt", s.execute_at);
  AddList(out, "Cost", s.cost);
  return out;
}

}  // namespace netrove
