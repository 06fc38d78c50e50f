// Program-wide state shared by the driver, the dialer and the services.
// Every field is safe to read and write from any task.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace netrove {

// Requests to the session controller.
enum ControlRequestValue : uint8_t {
  kRequestNone = 0,
  kRequestStop = 1,
  kRequestRedial = 2,
  kRequestSleep = 3,
  kRequestTestLink = 4,
};

// State of the link as the services see it.
enum LinkModeValue : uint8_t {
  kLinkIdle = 0,
  kLinkOnline = 1,
  kLinkDialing = 2,
  kLinkWaiting = 3,
};

// A short text that several tasks read and write whole.
class SharedText {
 public:
  SharedText() = default;
  explicit SharedText(std::string initial) : text_(std::move(initial)) {}
  SharedText(const SharedText&) = delete;
  SharedText& operator=(const SharedText&) = delete;

  std::string Get() const {
    std::lock_guard<std::mutex> lock(mu_);
    return text_;
  }
  // Texts are at most 255 characters, as everywhere in the program.
  void Set(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    text_ = text.substr(0, 255);
  }

 private:
  mutable std::mutex mu_;
  std::string text_;
};

// The state itself: one instance, owned by the program context.
struct SharedState {
  std::atomic<uint8_t> control_request{kRequestNone};
  std::atomic<uint8_t> link_mode{kLinkIdle};
  std::atomic<bool> restart_requested{false};
  // A configuration reload asked for from outside (SIGHUP without a
  // console); the session controller ends what it does and the entry reads
  // netrove.dat again.
  std::atomic<bool> reload_requested{false};
  std::atomic<bool> hide_mode{false};
  // A stop asked for from outside the program (a front-end): kept by the
  // clears below, as a signal's stop is.
  std::atomic<bool> stop_held{false};
  SharedText status_text;
  SharedText connection_arg;      // first command-line word, resolved to the entry name
  SharedText local_address_text;  // local address description of the link
  SharedText saved_local_address_text;
};

// ControlRequest := 0, as the dial attempt and the countdowns do when they
// begin, except that a stop asked for by SIGINT or SIGTERM (or held for a
// front-end) stays asked for: a stop that lands just before the clear must
// not be lost.
void ClearControlRequestKeepingSignalStop(SharedState& shared);

}  // namespace netrove
