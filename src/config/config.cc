// The configuration loader: file handling, publication and the acting
// lines around the reader core.
#include "config/config.h"

#include <sys/stat.h>

#include <cerrno>
#include <mutex>

#include "accounting/clock.h"
#include "accounting/statistics.h"
#include "config/defaults.h"
#include "config/scrambler.h"
#include "dialer/phonebook.h"
#include "runtime/files.h"
#include "runtime/log.h"
#include "runtime/program.h"
#include "runtime/shared_state.h"
#include "runtime/signals.h"

namespace netrove {
namespace {

// netrove.dat is a few kilobytes; anything past this is not read.
constexpr size_t kMaxConfigFileSize = 1u << 20;

// The loader's state: the published record, the warnings of the last load
// and the hooks. Guarded by the mutex; hooks are copied out before calling.
struct LoaderState {
  std::mutex mu;
  std::shared_ptr<const ConfigRecord> current = std::make_shared<ConfigRecord>();
  std::vector<std::string> warnings;
  ConfigHooks hooks;
};

LoaderState& State() {
  static LoaderState* state = new LoaderState();  // outlives every task at exit
  return *state;
}

ConfigHooks Hooks() {
  std::lock_guard<std::mutex> lock(State().mu);
  return State().hooks;
}

// The text of netrove.dat, created with the default content when missing.
std::string ReadConfigFile() {
  std::string path = ProgramDirectory() + "/" + kConfigFileName;
  std::optional<std::string> text = ReadWholeFile(path, kMaxConfigFileSize);
  if (text) return *text;
  struct stat st;
  if (stat(path.c_str(), &st) == 0 || errno != ENOENT) {
    // Never replace a file we merely cannot read: it holds the user's settings.
    FatalError("Can't read Netrove.dat file.");
  }
  if (!CreateDefaultConfigFileAt(path, false)) FatalError("Can't create Netrove.dat file.");
  text = ReadWholeFile(path, kMaxConfigFileSize);
  if (!text) FatalError("Can't create Netrove.dat file.");
  return *text;
}

}  // namespace

std::shared_ptr<const ConfigRecord> CurrentConfig() {
  std::lock_guard<std::mutex> lock(State().mu);
  return State().current;
}

void UpdateConfig(const std::function<void(ConfigRecord&)>& change) {
  std::lock_guard<std::mutex> lock(State().mu);
  auto copy = std::make_shared<ConfigRecord>(*State().current);
  change(*copy);
  State().current = std::move(copy);
}

std::vector<std::string> ConfigWarnings() {
  std::lock_guard<std::mutex> lock(State().mu);
  return State().warnings;
}

void SetConfigHooks(ConfigHooks hooks) {
  std::lock_guard<std::mutex> lock(State().mu);
  State().hooks = std::move(hooks);
}

void LoadConfiguration(const std::string& connection, bool collect) {
  ConfigHooks hooks = Hooks();
  // Reset: the acting tasks of the previous load end first.
  if (hooks.stop_acting_tasks) hooks.stop_acting_tasks();
  if (hooks.session_reset) hooks.session_reset();
  SharedState& shared = Shared();
  shared.status_text.Set("00:00:00");
  shared.link_mode = kLinkIdle;
  // A stop asked for by SIGINT/SIGTERM during a reload must survive it.
  ClearControlRequestKeepingSignalStop();

  // Relative names in the file are relative to the program directory.
  if (!EnterProgramDirectory()) Log("Can't enter " + ProgramDirectory());
  std::string text = ReadConfigFile();

  ParseEnvironment env;
  env.resolve_entry = ResolveEntryName;
  env.entry_exists = EntryExists;
  env.entry_defaults = LoadEntryDefaults;
  env.now = NowSeconds();
  env.volume_key = VolumeKey();
  ParseResult result = ParseConfiguration(text, connection, collect, *CurrentConfig(), env);
  if (result.connection_not_found) {
    std::string book = PhonebookPath();
    FatalError("Connection not found.\n\"" + connection + "\" is neither a section of " +
               ProgramDirectory() + "/" + kConfigFileName + " nor an entry of the phonebook " +
               book + (FileExists(book) ? "" : " (which does not exist)"));
  }

  auto record = std::make_shared<const ConfigRecord>(std::move(result.record));
  {
    std::lock_guard<std::mutex> lock(State().mu);
    State().current = record;
    State().warnings = std::move(result.warnings);
  }
  for (const std::string& line : result.log_lines) Log(line);

  SetLogFileName(record->log_file);
  SetTimeLimits({record->day_time_limit, record->week_time_limit, record->month_time_limit});
  if (hooks.tariffs) hooks.tariffs(record->cost, record->cost_per_minute);
  LoadStatistics(record->statistics_name);

  // The acting lines of the final reading, in file order.
  for (const ActingLine& act : result.acting) {
    if (act.kind == ActingLine::Kind::kExecuteStart) {
      if (hooks.execute_start) {
        hooks.execute_start(act.command);
      } else {
        Log("Execute " + act.command);
      }
    } else if (hooks.execute_at) {
      hooks.execute_at(act.time, act.command);
    } else {
      Log("Execute " + act.command);
    }
  }
}

}  // namespace netrove
