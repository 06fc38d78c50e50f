// Modem statistics: after a call the modem is asked for its own account of
// the connection (line quality, speeds, retrains) with the MODEMSTATISTICS
// command, through the serial port the phonebook entry names ("ModemPort").
// The session controller logs the answer.
//
// Thread safety: ReadModemStatistics runs on the session controller's
// thread; the objects hold no state of their own between calls.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "dialer/remote_access.h"
#include "dialer/serial_port.h"
#include "runtime/env.h"

namespace netrove {

struct ModemReadOptions {
  int open_tries = 3;
  int retry_ms = 1000;
  int write_ms = 5000;
  // A pause this long ends the answer.
  int silence_ms = 1500;
  // A modem that keeps talking is cut off at this size or after this time.
  size_t max_answer = 64 * 1024;
  int64_t max_total_ms = 30000;
};

// Opens `port` (up to open_tries tries, retry_ms apart), writes `command`
// and CR LF, and reads the answer until silence_ms pass without a byte,
// the line fails, or one of the bounds is reached. "" when the port does
// not open or the command cannot be written.
std::string ReadModemAnswer(Env& env, SerialPorts& ports, const std::string& port,
                            const std::string& command,
                            const ModemReadOptions& options = ModemReadOptions());

// The answer as log messages: split at carriage returns, a line feed at the
// start of a line dropped, each behind the no-stamp marker and "> ". A
// remainder after the last carriage return counts when it is not empty.
std::vector<std::string> ModemAnswerLines(std::string_view answer);

// What the session controller asks after a call.
class ModemStatisticsSource {
 public:
  virtual ~ModemStatisticsSource() = default;
  // The modem's answer to MODEMSTATISTICS, "" when there is none to log.
  virtual std::string ReadModemStatistics() = 0;
};

class ModemStatistics final : public ModemStatisticsSource {
 public:
  ModemStatistics(Env& env, RemoteAccess& ras, ConfigStore& config, SerialPorts& ports,
                  const ModemReadOptions& options = ModemReadOptions())
      : env_(env), ras_(ras), config_(config), ports_(ports), options_(options) {}

  // "" when MODEMSTATISTICS is empty or the configured entry names no
  // ModemPort.
  std::string ReadModemStatistics() override;

 private:
  Env& env_;
  RemoteAccess& ras_;
  ConfigStore& config_;
  SerialPorts& ports_;
  const ModemReadOptions options_;
};

}  // namespace netrove
