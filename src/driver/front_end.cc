#include "driver/front_end.h"

#include "config/list_entries.h"
#include "config/scrambler.h"
#include "dialer/entries.h"
#include "dialer/phonebook_access.h"
#include "driver/program_context.h"
#include "runtime/program.h"

namespace netrove {
namespace {

constexpr size_t kMaxConfigFileSize = 1u << 20;
constexpr size_t kMaxListed = 10000;

std::string ConfigPath() { return InProgramDirectory(kConfigFileName); }

// The running program's record as settings: the acting lines it keeps in
// their parsed form are written back as text where the record still has
// them.
FrontSettings SettingsOfRunning(ProgramContext& p) {
  std::shared_ptr<const ConfigRecord> r = p.config.Current();
  FrontSettings s = SettingsFromConfig(*r, p.shared.connection_arg.Get(), "");
  for (const EventRule& rule : r->events) s.event_id.push_back(EventRuleText(rule));
  for (size_t i = 0; i < r->execute_flag_files.size() && i < r->execute_flag_commands.size(); ++i)
    s.execute_flag.push_back(r->execute_flag_files[i] + " " + r->execute_flag_commands[i]);
  return s;
}

}  // namespace

FrontEnd::FrontEnd(Env& env, MainRunner run_main) : env_(env), run_main_(std::move(run_main)) {}

FrontEnd::~FrontEnd() {
  std::lock_guard<std::mutex> run_lock(run_mu_);
  if (!aa_.joinable()) return;
  SetRequest(kRequestStop);
  aa_.join();
}

std::optional<std::string> FrontEnd::ReadConfig() {
  return env_.ReadFile(ConfigPath(), kMaxConfigFileSize);
}

bool FrontEnd::WriteConfig(const std::string& text) {
  if (text.size() > kMaxConfigFileSize) return false;
  // It holds passwords: a new file is the user's alone; an old one keeps its mode.
  return WriteFileAtomically(env_, ConfigPath(), text, 0600, /*keep_mode=*/true);
}

int32_t FrontEnd::CountSections() {
  std::optional<std::string> text = ReadConfig();
  return text ? static_cast<int32_t>(CountSectionHeaders(*text)) : -1;
}

std::vector<std::string> FrontEnd::SectionNames() {
  std::optional<std::string> text = ReadConfig();
  return text ? netrove::SectionNames(*text, kMaxListed) : std::vector<std::string>();
}

void FrontEnd::Remember(const ConfigRecord& r) {
  shown_password_ = r.password;
  shown_password_text_ = r.password_text;
  shown_entry_ = r.entry_name;
  shown_user_ = r.user;
}

bool FrontEnd::LoadSettings(const std::string& name, FrontSettings& out) {
  (void)EnterProgramDirectory();
  std::optional<std::string> text = ReadConfig();
  if (!text) return false;
  PhonebookRemoteAccess ras(env_, PhonebookPath(), ConnectionDirectory());
  ParseResult result =
      ParseConfiguration(*text, name, /*collect=*/true, ConfigRecord(),
                         PhonebookParseEnvironment(env_, ras, ras.phonebook_path()));
  if (result.connection_not_found) return false;
  EntryProperties props;
  (void)ras.GetEntryProperties(result.record.entry_name, props);
  out = SettingsFromConfig(result.record, name, props.local_phone);
  std::lock_guard lock(mu_);
  loaded_ = true;
  loaded_settings_ = out;
  loaded_warnings_ = std::move(result.warnings);
  Remember(result.record);
  return true;
}

FrontSettings FrontEnd::CurrentSettings() {
  std::lock_guard lock(mu_);
  if (loaded_) return loaded_settings_;
  if (attached_ != nullptr) {
    Remember(*attached_->config.Current());
    return SettingsOfRunning(*attached_);
  }
  Remember(ConfigRecord());
  return SettingsFromConfig(ResetConfigRecord(ConfigRecord()), "", "");
}

std::vector<std::string> FrontEnd::Warnings() {
  std::lock_guard lock(mu_);
  if (loaded_) return loaded_warnings_;
  if (attached_ != nullptr) return attached_->config.Warnings();
  return {};
}

std::vector<std::string> FrontEnd::EntryNames() {
  PhonebookRemoteAccess ras(env_, PhonebookPath(), ConnectionDirectory());
  std::vector<std::string> names;
  if (ras.EnumEntries(names) != 0) names.clear();
  return names;
}

bool FrontEnd::EntryDefaults(const std::string& entry, FrontSettings& s) {
  PhonebookRemoteAccess ras(env_, PhonebookPath(), ConnectionDirectory());
  DialRecord params;
  bool stored = false;
  if (ras.GetEntryDialParams(entry, params, stored) != 0) return false;
  EntryProperties props;
  (void)ras.GetEntryProperties(entry, props);
  s.user = params.user_name;
  // The stored password as new characters (no code below 32 in it).
  s.password_mask.clear();
  for (char c : params.password) {
    if (static_cast<unsigned char>(c) >= 32) s.password_mask += c;
  }
  s.phone = props.local_phone;
  s.domain = params.domain;
  return true;
}

std::string FrontEnd::PasswordValue(const FrontSettings& s) {
  std::string stored, text, entry, user;
  {
    std::lock_guard lock(mu_);
    stored = shown_password_;
    text = shown_password_text_;
    entry = shown_entry_;
    user = shown_user_;
  }
  std::string password = UnmaskPassword(s.password_mask, stored);
  if (password.empty()) return std::string();
  // The scrambled text depends on the entry and user names too.
  if (password == stored && s.entry_name == entry && s.user == user && !text.empty()) return text;
  return ScramblePassword(s.entry_name, s.user, password, VolumeKey(env_));
}

int32_t FrontEnd::WriteGlobal(const FrontSettings& s) {
  std::optional<std::string> text = ReadConfig();
  if (!text) return -1;
  std::vector<ConfigLine> lines = CommonSettingLines(s);
  std::optional<std::string> changed = RewriteConfigPart(*text, "", lines);
  if (!changed || !WriteConfig(*changed)) return -1;
  return static_cast<int32_t>(lines.size());
}

int32_t FrontEnd::DeleteSection(const FrontSettings& s) {
  std::optional<std::string> text = ReadConfig();
  if (!text) return -1;
  size_t removed = 0;
  std::optional<std::string> changed = RemoveConfigSection(*text, s.section, &removed);
  if (!changed) return 0;
  return WriteConfig(*changed) ? static_cast<int32_t>(removed) : -1;
}

bool FrontEnd::AppendSection(const FrontSettings& s) {
  if (s.section.empty() || s.section.find_first_of("[]\r\n") != std::string::npos) return false;
  std::optional<std::string> text = ReadConfig();
  if (!text || HasSection(*text, s.section)) return false;
  return WriteConfig(AppendConfigSection(*text, s.section, SectionLines(s, PasswordValue(s))));
}

int32_t FrontEnd::ReplaceSection(const FrontSettings& s) {
  std::optional<std::string> text = ReadConfig();
  if (!text) return -1;
  std::vector<ConfigLine> lines = SectionLines(s, PasswordValue(s));
  std::optional<std::string> changed = RewriteConfigPart(*text, s.section, lines);
  if (!changed) return 0;
  return WriteConfig(*changed) ? static_cast<int32_t>(lines.size()) : -1;
}

void FrontEnd::Attach(ProgramContext& p) {
  std::lock_guard lock(mu_);
  attached_ = &p;
  if (pending_stop_) p.shared.stop_held = true;
  if (routine_) p.log.SetRoutine(routine_);
}

void FrontEnd::Detach(ProgramContext& p) {
  std::lock_guard lock(mu_);
  if (attached_ != &p) return;
  attached_ = nullptr;
  pending_stop_ = false;
  pending_request_ = 0;
}

FrontStatus FrontEnd::Status() {
  std::lock_guard lock(mu_);
  if (attached_ == nullptr) return FrontStatus{};
  SharedState& shared = attached_->shared;
  return {shared.connection_arg.Get(), shared.status_text.Get(), shared.local_address_text.Get()};
}

FrontEndStatistics FrontEnd::Statistics() {
  FrontEndStatistics out{};
  std::lock_guard lock(mu_);
  if (attached_ == nullptr) return out;
  ProgramContext& p = *attached_;
  StatRecord r = p.accounting.Record();
  out.day_seconds = r.day_seconds;
  out.week_seconds = r.week_seconds;
  out.month_seconds = r.month_seconds;
  out.day_cost = r.day_cost;
  out.week_cost = r.week_cost;
  out.month_cost = r.month_cost;
  TrafficCounters& t = p.network.sockets().traffic();
  out.received_total = t.received_total.load();
  out.sent_total = t.sent_total.load();
  out.receive_rate = t.receive_rate.load();
  out.send_rate = t.send_rate.load();
  out.receive_rate_again = t.receive_rate.load();
  out.average_receive_rate = t.average_rate.load();
  out.proxy_cache_bytes = p.services.proxy().ProxyCacheBytes();
  out.proxy_net_bytes = p.services.proxy().ProxyNetBytes();
  out.link_mode = p.shared.link_mode.load();
  return out;
}

void FrontEnd::Start(const std::string& connection, const std::string& argument,
                     bool start_asleep) {
  std::lock_guard<std::mutex> run_lock(run_mu_);
  if (!stopped_.load()) return;  // "AA" runs
  if (aa_.joinable()) aa_.join();
  {
    std::lock_guard lock(mu_);
    pending_stop_ = false;
    pending_request_ = 0;
  }
  stopped_ = false;
  aa_ = std::thread([this, connection, argument, start_asleep] {
    run_main_(connection, argument, start_asleep);
    stopped_ = true;
  });
}

void FrontEnd::SetRequest(uint8_t request) {
  std::lock_guard lock(mu_);
  if (request == kRequestStop && !stopped_.load()) pending_stop_ = true;
  pending_request_ = request;
  if (attached_ == nullptr) return;
  if (request == kRequestStop) attached_->shared.stop_held = true;
  attached_->shared.control_request = request;
}

uint8_t FrontEnd::Request() {
  std::lock_guard lock(mu_);
  if (attached_ != nullptr) return attached_->shared.control_request.load();
  return pending_request_;
}

void FrontEnd::HangUp() {
  std::lock_guard lock(mu_);
  if (attached_ != nullptr) attached_->dialer.HangUp();
}

bool FrontEnd::Terminate(int wait_ms) {
  HangUp();
  std::lock_guard<std::mutex> run_lock(run_mu_);
  if (!aa_.joinable()) return true;
  // A thread cannot be ended from outside: the session is asked to stop
  // and ends at its next poll (every second at most).
  SetRequest(kRequestStop);
  int64_t until = env_.MonotonicMs() + wait_ms;
  while (!stopped_.load() && env_.MonotonicMs() < until) (void)env_.Sleep(50, std::stop_token());
  if (!stopped_.load()) return false;
  aa_.join();
  return true;
}

void FrontEnd::SuspendAll() {
  std::lock_guard lock(mu_);
  if (attached_ != nullptr) attached_->tasks.SuspendAll();
}

void FrontEnd::ResumeAll() {
  std::lock_guard lock(mu_);
  if (attached_ != nullptr) attached_->tasks.ResumeAll();
}

void FrontEnd::SetRoutine(LogRoutine routine) {
  std::lock_guard lock(mu_);
  routine_ = std::move(routine);
  if (attached_ != nullptr) attached_->log.SetRoutine(routine_);
}

std::string FrontEnd::OwnRoutine(const std::string& message) {
  std::lock_guard lock(mu_);
  if (attached_ != nullptr) return attached_->log.Message(message);
  return message;
}

void FrontEnd::LogText(const std::string& message) {
  LogRoutine routine;
  {
    std::lock_guard lock(mu_);
    if (attached_ != nullptr) {
      attached_->log.Write(message);
      return;
    }
    routine = routine_;
  }
  if (routine) (void)routine(message);
}

}  // namespace netrove
