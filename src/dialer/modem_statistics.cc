#include "dialer/modem_statistics.h"

#include <algorithm>

#include "runtime/log.h"
#include "runtime/tasks.h"

namespace netrove {

std::string ReadModemAnswer(Env& env, SerialPorts& ports, const std::string& port,
                            const std::string& command, const ModemReadOptions& options) {
  std::unique_ptr<SerialLine> line;
  for (int attempt = 0; attempt < options.open_tries && !line; ++attempt) {
    if (attempt > 0 && !env.Sleep(options.retry_ms, CurrentStopToken())) return "";
    line = ports.Open(port);
  }
  if (!line || !line->Write(command + "\r\n", options.write_ms)) return "";

  std::string answer;
  const int64_t deadline = env.MonotonicMs() + options.max_total_ms;
  char buffer[512];
  while (answer.size() < options.max_answer) {
    const int64_t left = deadline - env.MonotonicMs();
    if (left <= 0) break;
    const size_t room = std::min(sizeof buffer, options.max_answer - answer.size());
    const int64_t n =
        line->Read(buffer, room, static_cast<int>(std::min<int64_t>(options.silence_ms, left)));
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  return answer;
}

std::vector<std::string> ModemAnswerLines(std::string_view answer) {
  std::vector<std::string> lines;
  const std::string prefix = std::string(1, kNoStampMarker) + "> ";
  while (!answer.empty()) {
    size_t cr = answer.find('\r');
    std::string_view text = answer.substr(0, cr);
    if (!text.empty() && text.front() == '\n') text.remove_prefix(1);
    if (cr == std::string_view::npos) {
      if (!text.empty()) lines.push_back(prefix + std::string(text));
      break;
    }
    lines.push_back(prefix + std::string(text));
    answer.remove_prefix(cr + 1);
  }
  return lines;
}

std::string ModemStatistics::ReadModemStatistics() {
  std::shared_ptr<const ConfigRecord> config = config_.Current();
  if (config->modem_statistics.empty()) return "";
  EntryProperties props;
  if (ras_.GetEntryProperties(config->entry_name, props) != 0 || props.modem_port.empty())
    return "";
  return ReadModemAnswer(env_, ports_, props.modem_port, config->modem_statistics, options_);
}

}  // namespace netrove
