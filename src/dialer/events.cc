#include "dialer/events.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "accounting/accounting.h"
#include "dialer/phonebook.h"
#include "dialer/programs.h"
#include "runtime/files.h"
#include "runtime/log.h"
#include "runtime/program.h"
#include "runtime/shared_state.h"
#include "runtime/text.h"

namespace netrove {
namespace {

// The routines other parts of the program lend to the macros and rules.
struct Services {
  std::mutex mu;
  std::function<void()> get_mail, update, abort_program, hang_up;
  std::function<void(const std::string&)> check_url;
};

Services& TheServices() {
  static Services* services = new Services;  // lives until the process ends
  return *services;
}

template <typename Fn>
Fn Borrow(Fn Services::*member) {
  Services& s = TheServices();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.*member;
}

template <typename Fn>
void Lend(Fn Services::*member, Fn routine) {
  Services& s = TheServices();
  std::lock_guard<std::mutex> lock(s.mu);
  s.*member = std::move(routine);
}

// Running counts of the EVENTID rules, kept beside a copy of the rules they
// belong to: a configuration with other rules starts from zero.
struct EventCounts {
  std::mutex mu;
  std::vector<EventRule> rules;
  std::vector<uint16_t> counts;
};

EventCounts& TheCounts() {
  static EventCounts* counts = new EventCounts;
  return *counts;
}

bool SameRules(const std::vector<EventRule>& a, const std::vector<EventRule>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].number != b[i].number || a[i].threshold != b[i].threshold ||
        a[i].action != b[i].action || a[i].text != b[i].text)
      return false;
  }
  return true;
}

}  // namespace

bool FireEvent(int number) {
  std::shared_ptr<const ConfigRecord> config = CurrentConfig();
  EventRule rule;
  {
    EventCounts& t = TheCounts();
    std::lock_guard<std::mutex> lock(t.mu);
    if (!SameRules(t.rules, config->events)) {
      t.rules = config->events;
      t.counts.assign(t.rules.size(), 0);
    }
    size_t i = t.rules.size();
    while (i > 0 && t.rules[i - 1].number != number) --i;
    if (i == 0) return false;
    --i;
    if (++t.counts[i] < t.rules[i].threshold) return false;
    t.counts[i] = 0;
    rule = t.rules[i];
  }
  switch (rule.action) {
    case EventAction::kExec:
      ExecuteCommand(rule.text);
      return false;
    case EventAction::kReload:
      if (!rule.text.empty()) Shared().connection_arg.Set(rule.text);
      return true;
    case EventAction::kExit:
      AbortProgramNow();
      return false;
  }
  return false;
}

void ResetEventCounts() {
  EventCounts& t = TheCounts();
  std::lock_guard<std::mutex> lock(t.mu);
  t.counts.assign(t.rules.size(), 0);
}

void RunCommand(const std::string& command) {
  std::string line = Trim(command);
  size_t space = line.find_first_of(" \t");
  std::string word = UpperAscii(line.substr(0, space));
  std::string rest = space == std::string::npos ? "" : Trim(line.substr(space));

  if (word == "$GETMAIL") {
    if (auto start = Borrow(&Services::get_mail))
      start();
    else
      Log("Get POP3 mail: service not running");
  } else if (word == "$CHECKURL") {
    std::string target = rest.empty() ? CurrentConfig()->check_url : rest;
    if (auto check = Borrow(&Services::check_url))
      check(target);
    else
      Log("Check URL: service not running");
  } else if (word == "$CREATEFLAG") {
    CreateFlagFile(rest);
  } else if (word == "$DELETEFLAG") {
    (void)DeleteFlagFile(rest);
  } else if (word == "$UPDATE") {
    if (auto update = Borrow(&Services::update))
      update();
    else
      Log("Auto update: service not running");
  } else if (word == "$BREAK") {
    Shared().control_request = kRequestStop;
  } else if (word == "$RESTART") {
    Shared().restart_requested = true;
    Shared().control_request = kRequestStop;
  } else if (auto program = ParseProgramLine(line)) {
    (void)StartProgram(*program);
  }
}

void ExecuteCommand(const std::string& command) {
  Log("Execute " + command);
  RunCommand(command);
}

void RunProgramList(const std::vector<std::string>& commands) {
  for (const std::string& command : commands) ExecuteCommand(command);
}

void CreateFlagFile(const std::string& name) {
  if (name.empty()) return;
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd >= 0) close(fd);
}

bool DeleteFlagFile(const std::string& name) {
  if (name.empty()) return false;
  return unlink(name.c_str()) == 0 || errno == ENOENT;
}

void SetGetMailService(std::function<void()> start_get_mail) {
  Lend(&Services::get_mail, std::move(start_get_mail));
}
void SetCheckUrlService(std::function<void(const std::string&)> check_url) {
  Lend(&Services::check_url, std::move(check_url));
}
void SetUpdateService(std::function<void()> run_update_check) {
  Lend(&Services::update, std::move(run_update_check));
}
void SetAbortProgram(std::function<void()> abort_program) {
  Lend(&Services::abort_program, std::move(abort_program));
}
void SetHangUp(std::function<void()> hang_up) { Lend(&Services::hang_up, std::move(hang_up)); }

void AbortProgramNow() {
  if (auto abort = Borrow(&Services::abort_program)) {
    abort();
    return;
  }
  Log("Aborted!");
  Shared().control_request = kRequestStop;
}

void HangUpNow() {
  if (auto hang_up = Borrow(&Services::hang_up)) {
    hang_up();
    return;
  }
  uint8_t none = kRequestNone;
  if (Shared().link_mode == kLinkOnline)
    Shared().control_request.compare_exchange_strong(none, kRequestSleep);
}

ConfigHooks EventHooks() {
  ConfigHooks hooks;
  hooks.execute_start = ExecuteCommand;
  hooks.execute_at = StartExecuteAt;
  hooks.stop_acting_tasks = [] {
    StopActingTasks();
    ResetEventCounts();
  };
  hooks.tariffs = SetTariffs;
  return hooks;
}

void InstallEventHooks() { SetConfigHooks(EventHooks()); }

namespace {

// True when a file of "Keyword value" lines (any case) has a non-empty
// value for `keyword`.
bool HasValueFor(const std::string& text, const std::string& keyword) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(pos, end - pos), " \t\r");
    pos = end + 1;
    size_t blank = line.find_first_of(" \t");
    if (blank != std::string::npos && UpperAscii(line.substr(0, blank)) == keyword &&
        !Trim(line.substr(blank)).empty())
      return true;
  }
  return false;
}

}  // namespace

bool WarnIfPasswordsReadable() {
  std::string dir = ProgramDirectory();
  bool warned = false;
  for (const std::string& path :
       {dir + (dir == "/" ? "" : "/") + kConfigFileName, PhonebookPath()}) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IRGRP | S_IROTH)) == 0) continue;
    std::optional<std::string> text = ReadWholeFile(path, kMaxPhonebookBytes);
    if (!text || !HasValueFor(*text, "PASSWORD")) continue;
    Log("Warning: " + path + " holds a password and can be read by other users (chmod 600 " + path +
        ")");
    warned = true;
  }
  return warned;
}

bool WarnIfConfigWritable() {
  std::string dir = ProgramDirectory();
  std::string path = dir + (dir == "/" ? "" : "/") + kConfigFileName;
  bool warned = false;
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    Log("Warning: " + path + " can be written by other users, and it starts programs.");
    warned = true;
  }
  // A directory others may write lets them replace the file; the sticky
  // bit keeps them from replacing files they do not own.
  if (stat(dir.c_str(), &st) == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 &&
      (st.st_mode & S_ISVTX) == 0) {
    Log("Warning: directory " + dir + " can be written by other users, and " + kConfigFileName +
        " in it starts programs.");
    warned = true;
  }
  return warned;
}

}  // namespace netrove
