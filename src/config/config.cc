// The configuration store: file handling, publication and the acting lines
// around the reader core.
#include "config/config.h"

#include "config/defaults.h"
#include "runtime/program.h"
#include "runtime/signals.h"

namespace netrove {
namespace {

// netrove.dat is a few kilobytes; anything past this is not read.
constexpr size_t kMaxConfigFileSize = 1u << 20;

// The text of netrove.dat, created with the default content when missing;
// nullopt with the fatal message otherwise.
std::optional<std::string> ReadConfigFile(Env& env, std::string& error) {
  std::string path = InProgramDirectory(kConfigFileName);
  if (std::optional<std::string> text = env.ReadFile(path, kMaxConfigFileSize)) return text;
  if (env.Stat(path)) {
    // Never replace a file we merely cannot read: it holds the user's settings.
    error = "Can't read Netrove.dat file.";
    return std::nullopt;
  }
  std::optional<std::string> text;
  if (CreateDefaultConfigFileAt(env, path, false)) text = env.ReadFile(path, kMaxConfigFileSize);
  if (!text) error = "Can't create Netrove.dat file.";
  return text;
}

}  // namespace

std::shared_ptr<const ConfigRecord> ConfigStore::Current() const {
  std::lock_guard<std::mutex> lock(mu_);
  return current_;
}

void ConfigStore::Update(const std::function<void(ConfigRecord&)>& change) {
  std::lock_guard<std::mutex> lock(mu_);
  auto copy = std::make_shared<ConfigRecord>(*current_);
  change(*copy);
  current_ = std::move(copy);
}

std::vector<std::string> ConfigStore::Warnings() const {
  std::lock_guard<std::mutex> lock(mu_);
  return warnings_;
}

std::optional<std::string> ConfigStore::Load(Env& env, Log& log, SharedState& shared,
                                             ConfigActions& actions,
                                             const ParseEnvironment& parse_env,
                                             const std::string& connection, bool collect) {
  // Reset: what the previous load started ends first.
  actions.Reset();
  shared.status_text.Set("00:00:00");
  shared.link_mode = kLinkIdle;
  // A stop asked for by SIGINT/SIGTERM during a reload must survive it.
  ClearControlRequestKeepingSignalStop(shared);

  std::string error;
  std::optional<std::string> text = ReadConfigFile(env, error);
  if (!text) return error;
  ParseResult result = ParseConfiguration(*text, connection, collect, *Current(), parse_env);
  if (result.connection_not_found) {
    const std::string& book = parse_env.phonebook_path;
    return "Connection not found.\n\"" + connection + "\" is neither a section of " +
           InProgramDirectory(kConfigFileName) + " nor an entry of the phonebook " + book +
           (FileExists(env, book) ? "" : " (which does not exist)");
  }

  auto record = std::make_shared<const ConfigRecord>(std::move(result.record));
  {
    std::lock_guard<std::mutex> lock(mu_);
    current_ = record;
    warnings_ = std::move(result.warnings);
  }
  for (const std::string& line : result.log_lines) log.Write(line);
  actions.Published(*record);
  // The acting lines of the final reading, in file order.
  for (const ActingLine& act : result.acting) {
    if (act.kind == ActingLine::Kind::kExecuteStart) {
      actions.ExecuteStart(act.command);
    } else {
      actions.ExecuteAt(act.time, act.command);
    }
  }
  return std::nullopt;
}

}  // namespace netrove
