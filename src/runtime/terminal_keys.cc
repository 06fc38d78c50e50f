#include "runtime/terminal_keys.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace netrove {

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void KeyDecoder::Emit(int code, std::string text) {
  keys_.push_back(KeyPress{code, std::move(text)});
  state_ = State::kNone;
  partial_.clear();
  utf8_needed_ = 0;
}

void KeyDecoder::Feed(std::string_view bytes, int64_t now_ms) {
  Expire(now_ms);
  for (char c : bytes) FeedByte(static_cast<unsigned char>(c), now_ms);
}

void KeyDecoder::FeedByte(unsigned char byte, int64_t now_ms) {
  switch (state_) {
    case State::kNone:
      break;
    case State::kEsc:
      if (byte == '[') {
        state_ = State::kCsi;
        partial_ += static_cast<char>(byte);
        return;
      }
      if (byte == 'O') {
        state_ = State::kSs3;
        partial_ += static_cast<char>(byte);
        return;
      }
      if (byte == 27) {
        // ESC ESC: the first one was pressed on its own.
        Emit(27);
        break;
      }
      // Alt + key. A multi-byte character after ESC is dropped whole: its
      // continuation bytes are ignored as strays below.
      Emit(0);
      return;
    case State::kCsi:
      partial_ += static_cast<char>(byte);
      if (partial_.size() == 3 && byte == '[') return;  // ESC [ [ A: Linux console F1..F5
      if (partial_.size() == 4 && partial_[2] == '[') {
        Emit(0);
        return;
      }
      if (byte >= 0x40 && byte <= 0x7e) {
        Emit(0);
        return;
      }
      if (byte < 0x20 || byte > 0x3f || partial_.size() >= kMaxSequence) {
        // Not a well-formed sequence: give it up as one key; a control
        // byte that broke it is read on its own.
        Emit(0);
        if (byte < 0x20) break;
      }
      return;
    case State::kSs3:
      Emit(0);
      if (byte < 0x20) break;  // a control byte is not an SS3 final
      return;
    case State::kUtf8:
      if ((byte & 0xc0) == 0x80) {
        partial_ += static_cast<char>(byte);
        if (--utf8_needed_ == 0) {
          const auto* p = reinterpret_cast<const unsigned char*>(partial_.data());
          uint32_t cp = p[0] & (partial_.size() == 2 ? 0x1f : partial_.size() == 3 ? 0x0f : 0x07);
          for (size_t i = 1; i < partial_.size(); ++i) cp = (cp << 6) | (p[i] & 0x3f);
          std::string text = partial_;
          Emit(cp < 256 ? static_cast<int>(cp) : 0, std::move(text));
        }
        return;
      }
      // Broken character: drop it and read this byte afresh.
      state_ = State::kNone;
      partial_.clear();
      break;
  }

  // A fresh byte.
  if (byte == 27) {
    state_ = State::kEsc;
    partial_.assign(1, static_cast<char>(byte));
    partial_since_ = now_ms;
  } else if (byte == 127 || byte == 8) {
    Emit(8);
  } else if (byte == 13 || byte == 10) {
    Emit(13);
  } else if (byte < 0x80) {
    Emit(byte, std::string(1, static_cast<char>(byte)));
  } else if (byte >= 0xc2 && byte <= 0xf4) {
    state_ = State::kUtf8;
    partial_.assign(1, static_cast<char>(byte));
    partial_since_ = now_ms;
    utf8_needed_ = byte < 0xe0 ? 1 : byte < 0xf0 ? 2 : 3;
  }
  // Other bytes (stray continuation bytes, invalid leads, 8-bit controls)
  // are not keys.
}

void KeyDecoder::Expire(int64_t now_ms) {
  if (state_ == State::kNone) return;
  int64_t limit = state_ == State::kEsc ? kLoneEscMs : kSequenceMs;
  if (now_ms - partial_since_ < limit) return;
  if (state_ == State::kEsc) {
    Emit(27);
  } else if (state_ == State::kUtf8) {
    state_ = State::kNone;
    partial_.clear();
  } else {
    Emit(0);  // e.g. Alt + "[" or a sequence cut short
  }
}

bool KeyDecoder::HasKey(int64_t now_ms) {
  Expire(now_ms);
  return !keys_.empty();
}

std::optional<KeyPress> KeyDecoder::Take(int64_t now_ms) {
  Expire(now_ms);
  if (keys_.empty()) return std::nullopt;
  KeyPress key = std::move(keys_.front());
  keys_.pop_front();
  return key;
}

int64_t KeyDecoder::MsUntilTimeout(int64_t now_ms) const {
  if (state_ == State::kNone) return -1;
  int64_t limit = state_ == State::kEsc ? kLoneEscMs : kSequenceMs;
  return std::max<int64_t>(0, partial_since_ + limit - now_ms);
}

bool KeyReader::Pump(int wait_ms) {
  if (closed_ || fd_ < 0) return false;
  struct pollfd p = {fd_, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, wait_ms);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return r == 0;
  if ((p.revents & POLLIN) == 0) {
    closed_ = (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    return !closed_;
  }
  char buf[64];
  ssize_t n;
  do {
    n = read(fd_, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
  if (n <= 0) {
    closed_ = true;
    return false;
  }
  decoder_.Feed(std::string_view(buf, static_cast<size_t>(n)), MonotonicMs());
  return true;
}

bool KeyReader::Poll() {
  // Take what is already there (bounded: a burst of pasted text is read
  // over several calls).
  for (int i = 0; i < 16 && !closed_; ++i) {
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) break;
    if (!Pump(0)) break;
  }
  // A lone ESC is told from the start of a sequence by waiting briefly.
  int64_t deadline = MonotonicMs() + KeyDecoder::kLoneEscMs;
  for (;;) {
    int64_t now = MonotonicMs();
    int64_t wait = decoder_.MsUntilTimeout(now);
    if (closed_ || wait <= 0 || wait > KeyDecoder::kLoneEscMs || now >= deadline) break;
    if (!Pump(static_cast<int>(wait))) break;
  }
  return decoder_.HasKey(MonotonicMs());
}

std::optional<KeyPress> KeyReader::Take() { return decoder_.Take(MonotonicMs()); }

}  // namespace netrove
