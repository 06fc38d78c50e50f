#include "runtime/terminal_screen.h"

namespace netrove {
namespace {

constexpr std::string_view kClearToEnd = "\x1b[K";

// Length of the well-formed UTF-8 character at text[i] (0 if none), with
// C1 control code points (U+0080..U+009F) counted as not well-formed.
size_t Utf8Length(std::string_view text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  size_t n = lead >= 0xc2 && lead <= 0xdf   ? 2
             : lead >= 0xe0 && lead <= 0xef ? 3
             : lead >= 0xf0 && lead <= 0xf4 ? 4
                                            : 0;
  if (n == 0 || i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((byte(i + k) & 0xc0) != 0x80) return 0;
  if (n == 2 && lead == 0xc2 && byte(i + 1) < 0xa0) return 0;   // C1 control
  if (n == 3 && lead == 0xe0 && byte(i + 1) < 0xa0) return 0;   // overlong
  if (n == 3 && lead == 0xed && byte(i + 1) >= 0xa0) return 0;  // surrogate
  if (n == 4 && lead == 0xf0 && byte(i + 1) < 0x90) return 0;   // overlong
  if (n == 4 && lead == 0xf4 && byte(i + 1) >= 0x90) return 0;  // past U+10FFFF
  return n;
}

// Appends the safe form of text[i..] for one character and returns how
// many input bytes it used. `keep_layout` keeps LF, CR, TAB and BS.
size_t AppendSafe(std::string& out, std::string_view text, size_t i, bool utf8, bool keep_layout) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  if (c < 0x20 || c == 0x7f) {
    if (keep_layout && (c == '\n' || c == '\r' || c == '\t' || c == '\b')) {
      out += static_cast<char>(c);
    } else if (c != 7) {  // the bell makes no sound here
      out += '?';
    }
    return 1;
  }
  if (c < 0x80) {
    out += static_cast<char>(c);
    return 1;
  }
  if (utf8) {
    size_t n = Utf8Length(text, i);
    if (n > 0) {
      out.append(text.substr(i, n));
      return n;
    }
    out += c == 0xfe ? "\u25a0" : "?";
    return 1;
  }
  // A terminal of unknown 8-bit character set: no C1 controls, the rest
  // as it is.
  if (c == 0xfe) {
    out += '*';
  } else if (c < 0xa0) {
    out += '?';
  } else {
    out += static_cast<char>(c);
  }
  return 1;
}

}  // namespace

std::string ScreenWriter::FitRow(std::string_view text, int columns, bool utf8) {
  std::string out;
  size_t i = 0;
  for (int col = 0; col < columns && i < text.size(); ++col) {
    i += AppendSafe(out, text, i, utf8, false);
  }
  return out;
}

std::string ScreenWriter::SafeText(std::string_view text, bool utf8) {
  std::string out;
  for (size_t i = 0; i < text.size();) i += AppendSafe(out, text, i, utf8, true);
  return out;
}

void ScreenWriter::Plain(std::string_view text) {
  if (text.empty()) return;
  if (status_drawn_) {
    pending_ += "\r";
    pending_ += kClearToEnd;
    status_drawn_ = false;
  }
  pending_ += SafeText(text, utf8_);
  partial_ = text.back() != '\n';
  redraw_ = status_active_ && !partial_;
}

void ScreenWriter::LogLine(std::string_view line) {
  pending_ += "\r";
  pending_ += Row(line);
  pending_ += kClearToEnd;
  pending_ += "\n";
  status_drawn_ = false;
  partial_ = false;
  redraw_ = status_active_;
}

void ScreenWriter::Status(std::string_view text) {
  status_.assign(text.substr(0, 1024));
  status_active_ = true;
  partial_ = false;  // the status line overwrites an unfinished line
  redraw_ = true;
}

void ScreenWriter::EndStatus() {
  if (status_active_) {
    if (redraw_ || !status_drawn_) {
      pending_ += "\r";
      pending_ += Row(status_);
      pending_ += kClearToEnd;
    }
    pending_ += "\n";
    status_active_ = false;
    status_drawn_ = false;
    redraw_ = false;
  } else if (partial_) {
    pending_ += "\n";
    partial_ = false;
  }
}

void ScreenWriter::Title(std::string_view title) {
  std::string safe = FitRow(title.substr(0, 255), 255, utf8_);
  pending_ += "\x1b]0;";
  pending_ += safe;
  pending_ += "\x07";
}

void ScreenWriter::Clear() {
  pending_ += "\x1b[H\x1b[2J";
  partial_ = false;
  status_drawn_ = false;
  redraw_ = status_active_;
}

void ScreenWriter::DropPending() {
  pending_.clear();
  pending_ += "\r\n(console output dropped)\r\n";
  partial_ = false;
  status_drawn_ = false;
  redraw_ = status_active_;
}

std::string ScreenWriter::TakeOutput() {
  std::string out;
  out.swap(pending_);
  if (redraw_ && status_active_ && !partial_) {
    out += "\r";
    out += Row(status_);
    out += kClearToEnd;
    status_drawn_ = true;
  }
  redraw_ = false;
  return out;
}

}  // namespace netrove
