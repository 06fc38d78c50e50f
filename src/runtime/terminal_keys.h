// Key input from a terminal in raw mode.
//
// KeyDecoder turns the bytes a terminal sends into key presses, the way
// ReadKey reports them:
//   - letters, digits, Space, "+", "-" and other printable characters arrive
//     as themselves; Enter (CR or LF) as 13; Backspace (DEL or BS) as 8;
//   - a lone ESC (no further byte within kLoneEscMs) is 27;
//   - escape sequences (arrows, function keys, Home/End, ...) are one key
//     with code 0, never 27; ESC followed by a character (Alt + key) is 0;
//   - a UTF-8 character is one key whose code is its code point when that
//     is below 256, otherwise 0; its bytes are kept for line input.
// Incomplete sequences are not keys until they complete or time out, so
// KeyPressed stays false while only part of an arrow key has arrived.
// Sequences are bounded in length; malformed input is dropped.
//
// KeyReader reads a file descriptor (a terminal in raw mode) into a
// KeyDecoder. Both classes are not thread-safe; the console guards its
// reader with a lock.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace netrove {

struct KeyPress {
  int code = 0;      // what ReadKey returns
  std::string text;  // the character's bytes for line input ("" for keys without one)
};

class KeyDecoder {
 public:
  static constexpr int64_t kLoneEscMs = 50;
  // A started sequence (ESC [ ...) that stays incomplete this long is
  // given up as one key without a character.
  static constexpr int64_t kSequenceMs = 300;
  static constexpr size_t kMaxSequence = 32;

  // Feeds bytes that arrived at `now_ms` (any monotonic milliseconds).
  void Feed(std::string_view bytes, int64_t now_ms);
  // True when a complete key is waiting at `now_ms` (a pending lone ESC
  // or a stale sequence is completed here).
  bool HasKey(int64_t now_ms);
  // Takes the next complete key.
  std::optional<KeyPress> Take(int64_t now_ms);
  // Milliseconds until a pending partial sequence times out; -1 when none
  // is pending.
  int64_t MsUntilTimeout(int64_t now_ms) const;

 private:
  enum class State { kNone, kEsc, kCsi, kSs3, kUtf8 };
  void FeedByte(unsigned char byte, int64_t now_ms);
  void Emit(int code, std::string text = std::string());
  void Expire(int64_t now_ms);

  State state_ = State::kNone;
  std::string partial_;
  int64_t partial_since_ = 0;
  size_t utf8_needed_ = 0;
  std::deque<KeyPress> keys_;
};

class KeyReader {
 public:
  explicit KeyReader(int fd) : fd_(fd) {}
  // Reads whatever input is waiting without blocking; when a lone ESC is
  // pending, waits at most its remaining timeout for a following byte.
  // Returns true when a complete key is waiting.
  bool Poll();
  // Takes the next key if one is complete.
  std::optional<KeyPress> Take();
  // True once the input reported end of file or hang-up.
  bool Closed() const { return closed_; }
  int fd() const { return fd_; }

 private:
  // Reads what is readable within `wait_ms`; false on end of input.
  bool Pump(int wait_ms);

  int fd_;
  bool closed_ = false;
  KeyDecoder decoder_;
};

// Milliseconds of the monotonic clock.
int64_t MonotonicMs();

}  // namespace netrove
