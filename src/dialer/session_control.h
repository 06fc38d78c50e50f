// What the helpers of a session (event rules, the "Halt service", the
// dialer's check for a connection already up) ask of the session itself.
// The session (driver) implements it. Thread-safe.
#pragma once

namespace netrove {

class SessionControl {
 public:
  virtual ~SessionControl() = default;
  // Logs "Aborted!", stops the services and asks the session to stop
  // (ControlRequest 1). Once per session; a later call only asks again.
  virtual void Abort() = 0;
  // Hangs up the connection held (if any); the session then sees the line
  // drop.
  virtual void HangUp() = 0;
};

}  // namespace netrove
