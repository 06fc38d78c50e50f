// The line-protocol engine shared by the line-based services and clients
// (POP3, SMTP, FTP, NNTP): lines with a cap, status replies in the POP3
// ("+OK"/"-ERR") and the numeric ("250", "250-" continued) styles, and
// dot-terminated bodies with dot-stuffing, each bounded in size and time.
//
// Lines end with LF; a CR before the LF is dropped (so CR LF and LF both
// end a line); NUL bytes are dropped. Every read is bounded by the socket
// layer's receive time-out and by the deadline of the call; a closed or
// failed socket is reported, never thrown.
//
// Thread safety: one LineChannel is used by one task, as its socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/socket.h"
#include "runtime/env.h"

namespace netrove {

struct LineLimits {
  // The longest line kept (without its end); the rest of a longer line is
  // read and dropped.
  size_t max_line = 4096;
  // How long one call may wait in all.
  int64_t deadline_ms = 120000;
  // The most lines of one reply (continuation lines included).
  size_t max_reply_lines = 100;
};

enum class ReplyStyle {
  kPop3,     // "+OK text" / "-ERR text"
  kNumeric,  // "250 text", with "250-text" lines before the last
};

struct LineReply {
  bool positive = false;           // "+" (POP3), 1xx..3xx (numeric)
  int code = 0;                    // numeric style: the code; POP3: 0
  std::string text;                // the last line, whole
  std::vector<std::string> lines;  // every line of the reply
};

class LineChannel {
 public:
  enum class Read {
    kLine,    // a line came (it may have been cut: see cut())
    kClosed,  // the peer closed, the socket failed or the deadline passed
  };

  LineChannel(SocketVar& socket, Env& env, LineLimits limits = LineLimits())
      : socket_(socket), env_(env), limits_(limits) {}
  LineChannel(const LineChannel&) = delete;
  LineChannel& operator=(const LineChannel&) = delete;

  // One line without its end.
  Read ReadLine(std::string& line);
  // True when the last line read was longer than max_line (and was cut).
  bool cut() const { return cut_; }

  // The text and CR LF in one send.
  bool SendLine(std::string_view text);
  bool Send(std::string_view bytes);

  // A whole reply; nullopt when the socket closed, the deadline passed, a
  // line is not of the style, or the reply has more than max_reply_lines.
  std::optional<LineReply> ReadReply(ReplyStyle style);

  enum class Body {
    kComplete,  // up to the "."
    kTooLarge,  // beyond `max_bytes`: the rest was read up to the "." and dropped
    kFailed,    // closed, past the deadline, or stopped by the sink
  };
  // The lines of a dot-terminated body up to the line ".", unstuffed (a
  // leading ".." gives "."), each handed to `sink` (false from it stops
  // the reading) while the body, each line with its CR LF, stays within
  // `max_bytes`. Lines are never cut.
  Body ReadDotBody(size_t max_bytes, const std::function<bool(std::string_view line)>& sink);
  // One body line, dot-stuffed, with CR LF.
  bool SendBodyLine(std::string_view line);
  // The final ".".
  bool EndBody() { return SendLine("."); }

  SocketVar& socket() { return socket_; }

 private:
  bool ReadLineBy(int64_t deadline, size_t cap, std::string& line);

  SocketVar& socket_;
  Env& env_;
  const LineLimits limits_;
  bool cut_ = false;
};

// Parses one line of a reply: nullopt when it is not of the style. `more`
// is set for a numeric continuation line ("250-...").
std::optional<LineReply> ParseReplyLine(std::string_view line, ReplyStyle style, bool& more);

}  // namespace netrove
