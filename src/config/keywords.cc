#include "config/keywords.h"

#include <type_traits>

#include "config/syntax.h"

namespace netrove {
namespace {

using VT = ValueType;
constexpr ResetRule kReset = ResetRule::kToDefault;
constexpr ResetRule kKeep = ResetRule::kKeep;
using R = ConfigRecord;

const KeywordRow kTable[] = {
    {"CONNECTION", VT::kEntryName, "", kReset, &R::entry_name},
    {"USER", VT::kText, "", kReset, &R::user},
    {"PASSWORD", VT::kText, "", kReset, &R::password_text},
    {"DOMAIN", VT::kText, "", kReset, &R::domain},
    {"PHONE", VT::kText, "", kReset, &R::phone},
    {"ADDPHONE", VT::kList, "", kReset, &R::add_phone},
    {"OFFPHONE", VT::kList, "", kReset, &R::off_phone},
    {"DIALPREFIX", VT::kText, "", kReset, &R::dial_prefix},
    {"DIALTIME", VT::kWord, "60", kReset, &R::dial_time},
    {"WAITTIME", VT::kWord, "10", kReset, &R::wait_time},
    {"SLEEPTIME", VT::kWord, "60", kReset, &R::sleep_time},
    {"MAXRETRY", VT::kWord, "0", kReset, &R::max_retry},
    {"REDIAL", VT::kYesNo, "Yes", kReset, &R::redial},
    {"BREAKIFFOUND", VT::kYesNo, "Yes", kReset, &R::break_if_found},
    {"BREAK", VT::kTime, "", kReset, {}},
    {"BREAKFLAG", VT::kText, "", kReset, &R::break_flag},
    {"SLEEPFLAG", VT::kText, "", kReset, &R::sleep_flag},
    {"CONNECTFLAG", VT::kText, "", kKeep, &R::connect_flag},
    {"DIALFLAG", VT::kText, "", kKeep, &R::dial_flag},
    {"CHECKURL", VT::kText, "", kReset, &R::check_url},
    {"CHECKURLTIME", VT::kWord, "0", kReset, &R::check_url_time},
    {"NETSLEEPTIME", VT::kWord, "0", kReset, &R::net_sleep_time},
    {"NETSTOPTIME", VT::kWord, "0", kReset, &R::net_stop_time},
    {"DAYTIMELIMIT", VT::kLong, "0", kReset, &R::day_time_limit},
    {"WEEKTIMELIMIT", VT::kLong, "0", kReset, &R::week_time_limit},
    {"MONTHTIMELIMIT", VT::kLong, "0", kReset, &R::month_time_limit},
    {"COST", VT::kList, "", kReset, &R::cost},
    {"COSTPERMINUTE", VT::kYesNo, "No", kReset, &R::cost_per_minute},
    {"EXECUTE", VT::kList, "", kReset, &R::execute},
    {"EXECUTEEND", VT::kList, "", kReset, &R::execute_end},
    {"EXECUTESTART", VT::kCommand, "", kReset, {}},
    {"EXECUTEAT", VT::kTask, "", kReset, {}},
    {"EXECUTEFLAG", VT::kFlagPair, "", kReset, {}},
    {"EVENTID", VT::kEventId, "", kReset, &R::events},
    {"MODEMSTATISTICS", VT::kText, "", kReset, &R::modem_statistics},
    {"LOGFILE", VT::kText, "", kReset, &R::log_file},
    {"DEFLOAD", VT::kYesNo, "Yes", kReset, &R::def_load},
    {"AUTOHIDE", VT::kYesNo, "No", kReset, &R::auto_hide},
    {"NETROVEPORT", VT::kWord, "0", kReset, &R::netrove_port},
    {"PROXY", VT::kText, "", kReset, &R::proxy},
    {"PROXYLOG", VT::kText, "", kKeep, &R::proxy_log},
    {"PROXYAUTHSTRING", VT::kText, "", kKeep, &R::proxy_auth_string},
    {"PROXYSIZE", VT::kText, "0", kReset, &R::proxy_size},
    {"PROXYDISKFREE", VT::kText, "3%", kReset, &R::proxy_disk_free},
    {"HIDEPROXY", VT::kYesNo, "Yes", kReset, &R::hide_proxy},
    {"POP3", VT::kText, "", kReset, &R::pop3},
    {"POP3SERVER", VT::kYesNo, "Yes", kReset, &R::pop3_server},
    {"POP3SERVERPORT", VT::kWord, "0", kReset, &R::pop3_server_port},
    {"POP3SERVERSLEEP", VT::kWord, "60", kReset, &R::pop3_server_sleep},
    {"MAXLENPOP3MAIL", VT::kLong, "2147483647", kReset, &R::max_len_pop3_mail},
    {"HIDEPOP3", VT::kYesNo, "Yes", kReset, &R::hide_pop3},
    {"POP3VIAWEBPORT", VT::kWord, "0", kKeep, &R::pop3_via_web_port},
    {"HIDEPOP3VIAWEB", VT::kYesNo, "Yes", kReset, &R::hide_pop3_via_web},
    {"SMTP", VT::kText, "", kReset, &R::smtp},
    {"HIDESMTP", VT::kYesNo, "Yes", kReset, &R::hide_smtp},
    {"SMTPMAXSIZE", VT::kWord, "32", kReset, &R::smtp_max_size},
    {"NNTP", VT::kText, "", kReset, &R::nntp},
    {"HIDENNTP", VT::kYesNo, "Yes", kReset, &R::hide_nntp},
    {"FTP", VT::kWord, "0", kReset, &R::ftp},
    {"HIDEFTP", VT::kYesNo, "Yes", kReset, &R::hide_ftp},
    {"SOCKS4", VT::kWord, "0", kReset, &R::socks4},
    {"HIDESOCKS4", VT::kYesNo, "Yes", kReset, &R::hide_socks4},
    {"MAPLINK", VT::kMapLink, "", kReset, &R::map_link},
    {"MAPULINK", VT::kMapLink, "", kReset, &R::map_ulink},
    {"PORTDOG", VT::kText, "", kReset, &R::port_dog},
    {"CACHEDNSDAY", VT::kWord, "3", kKeep, &R::cache_dns_day},
    {"AUTOUPDATE", VT::kYesNo, "No", kReset, &R::auto_update},
    {"UPDATEURL", VT::kText, "", kReset, &R::update_url},
    {"HIDEPORT", VT::kYesNo, "Yes", kReset, &R::hide_port},
    {"RTSP", VT::kYesNo, "No", kKeep, &R::rtsp},
    {"HIDERTSP", VT::kYesNo, "Yes", kKeep, &R::hide_rtsp},
};

// Converts `value` for the field type of the row.
struct Store {
  const KeywordRow& row;
  const std::string& value;
  ConfigRecord& record;
  bool operator()(std::monostate) const { return false; }
  bool operator()(std::string R::*f) const {
    record.*f = value.substr(0, kMaxConfigLine);
    return true;
  }
  bool operator()(uint16_t R::*f) const {
    record.*f = ReadWord(value);
    return true;
  }
  bool operator()(int32_t R::*f) const {
    record.*f = ReadLong(value);
    return true;
  }
  bool operator()(bool R::*f) const {
    record.*f = ReadYesNo(value);
    return true;
  }
  bool operator()(std::vector<std::string> R::*f) const {
    if (row.type != ValueType::kList) return false;
    (record.*f).push_back(value);
    return true;
  }
  bool operator()(std::vector<EventRule> R::*) const { return false; }
};

}  // namespace

std::span<const KeywordRow> KeywordTable() { return kTable; }

const KeywordRow* FindKeyword(std::string_view keyword) {
  for (const KeywordRow& row : kTable) {
    if (row.name == keyword) return &row;
  }
  return nullptr;
}

void ApplyDefault(const KeywordRow& row, ConfigRecord& record) {
  std::visit(
      [&](auto f) {
        using F = decltype(f);
        if constexpr (std::is_same_v<F, std::vector<std::string> R::*> ||
                      std::is_same_v<F, std::vector<EventRule> R::*>) {
          (record.*f).clear();
        } else if constexpr (!std::is_same_v<F, std::monostate>) {
          Store{row, std::string(row.default_value), record}(f);
        }
      },
      row.field);
}

void CopyField(const KeywordRow& row, const ConfigRecord& from, ConfigRecord& to) {
  std::visit(
      [&](auto f) {
        if constexpr (!std::is_same_v<decltype(f), std::monostate>) to.*f = from.*f;
      },
      row.field);
}

bool StoreValue(const KeywordRow& row, const std::string& value, ConfigRecord& record) {
  if (row.type == ValueType::kEntryName) return false;
  return std::visit(Store{row, value, record}, row.field);
}

}  // namespace netrove
