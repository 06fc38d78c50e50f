// What the console draws on a terminal, as bytes: log lines scrolling
// above one status line that is rewritten in place.
//
// ScreenWriter collects output in memory; TakeOutput hands over the bytes
// to write, with the status line drawn last, so a log line and a status
// line are never mixed on one row and many status updates between two
// flushes cost one redraw.
//   - a log line:    CR, the line, clear to end of line, LF; the status line
//                    (if any) is drawn again below it;
//   - the status:    CR, the text, clear to end of line (the cursor stays on
//                    that row);
//   - plain text:    as given (LF ends a line); it replaces a status line
//                    that stands on the current row.
// Log and status lines are cut to the terminal width less one column, so
// they never wrap and clear-to-end never erases their last character. The
// classic 80-column limit is not applied: a wider terminal shows more.
//
// Bytes are made safe for the terminal: other control characters become
// "?", byte 254 (the log's time-stamp mark) becomes U+25A0 "■" on a UTF-8
// terminal ("*" otherwise), bytes 0x80-0x9F never reach the terminal raw,
// well-formed UTF-8 passes through, other bytes become "?".
//
// Not thread-safe: the console guards it with its lock.
#pragma once

#include <string>
#include <string_view>

namespace netrove {

class ScreenWriter {
 public:
  void SetWidth(int columns) { width_ = columns > 1 ? columns : 80; }
  void SetUtf8(bool utf8) { utf8_ = utf8; }

  void Plain(std::string_view text);
  void LogLine(std::string_view line);
  void Status(std::string_view text);
  // Leaves the status line standing as a line of its own and moves on.
  void EndStatus();
  void Title(std::string_view title);
  void Clear();

  // True when the cursor is not at the start of a line.
  bool MidLine() const { return partial_ || status_active_; }
  // True when TakeOutput has something to write.
  bool Dirty() const { return !pending_.empty() || (redraw_ && status_active_ && !partial_); }
  size_t PendingSize() const { return pending_.size(); }
  // Drops what is pending (the terminal could not take it) and notes it.
  void DropPending();

  // The bytes to write now; afterwards the writer assumes they were written.
  std::string TakeOutput();

  // A text fitted for one screen row of `columns` columns.
  static std::string FitRow(std::string_view text, int columns, bool utf8);
  // Plain text made safe (keeps LF, CR, TAB and BS).
  static std::string SafeText(std::string_view text, bool utf8);

 private:
  std::string Row(std::string_view text) const { return FitRow(text, width_ - 1, utf8_); }

  int width_ = 80;
  bool utf8_ = true;
  std::string pending_;
  std::string status_;
  bool status_active_ = false;  // a status line is wanted on the bottom row
  bool status_drawn_ = false;   // the output so far leaves it standing there
  bool redraw_ = false;         // it must be drawn (again) at the next take
  bool partial_ = false;        // plain text ended in the middle of a line
};

}  // namespace netrove
