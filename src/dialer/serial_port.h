// Serial ports: the platform layer under the modem statistics. A port is
// opened for this process alone, with its line settings saved and put back
// when it closes, so that the program that dials through it afterwards
// finds it as it left it.
//
// Failures are results: a port that cannot be opened is null, a read or
// write that fails says so. Every wait is bounded by its caller's time-out
// and ends at once when the calling task is asked to stop.
//
// Thread safety: one SerialLine is used by one task at a time; a
// SerialPorts may be used from any task.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace netrove {

// An open port. Destroying it restores the line settings and closes it.
class SerialLine {
 public:
  virtual ~SerialLine() = default;
  // Writes all of `data` within `timeout_ms`; false on an error or when
  // the port would not take it in time.
  [[nodiscard]] virtual bool Write(std::string_view data, int timeout_ms) = 0;
  // Waits up to `timeout_ms` for bytes and reads at most `n` of them: the
  // count, 0 when nothing came in time, -1 on an error, a hang-up of the
  // line or a stop request of the calling task.
  virtual int64_t Read(char* buffer, size_t n, int timeout_ms) = 0;
};

class SerialPorts {
 public:
  virtual ~SerialPorts() = default;
  // The port at `path`, or null when it does not exist, is not a terminal,
  // or is in use (held by this or another process).
  virtual std::unique_ptr<SerialLine> Open(const std::string& path) = 0;
};

// Terminal devices of this machine (/dev/ttyS0, /dev/ttyUSB0, ...). Open
// takes the device without making it the controlling terminal, locks it
// (flock, so a second session of ours is refused), marks it exclusive
// (TIOCEXCL, so other programs are refused), and switches it to raw bytes
// at its current speed; the saved settings go back before the close.
class PosixSerialPorts final : public SerialPorts {
 public:
  std::unique_ptr<SerialLine> Open(const std::string& path) override;
};

}  // namespace netrove
