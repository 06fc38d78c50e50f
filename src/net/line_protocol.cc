#include "net/line_protocol.h"

namespace netrove {

bool LineChannel::ReadLineBy(int64_t deadline, size_t cap, std::string& line) {
  line.clear();
  cut_ = false;
  for (char c;;) {
    const int64_t left = deadline - env_.MonotonicMs();
    if (left < 0) return false;
    if (socket_.buffered() == 0) {  // wait no longer than the deadline
      SocketWait wait{&socket_};
      if (WaitReadable({&wait, 1}, left) != 1) return false;
    }
    if (ReadBuffered(socket_, &c, 1) != 1) return false;
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() > cap) {
        line.resize(cap);
        cut_ = true;
      }
      return true;
    }
    if (c == '\0') continue;
    if (line.size() <= cap) {  // one more: the CR of CR LF
      line.push_back(c);
    } else {
      cut_ = true;
    }
  }
  return false;
}

LineChannel::Read LineChannel::ReadLine(std::string& line) {
  return ReadLineBy(env_.MonotonicMs() + limits_.deadline_ms, limits_.max_line, line)
             ? Read::kLine
             : Read::kClosed;
}

bool LineChannel::SendLine(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.append(text).append("\r\n");
  return Send(out);
}

bool LineChannel::Send(std::string_view bytes) {
  return SendBuffer(socket_, bytes.data(), bytes.size());
}

std::optional<LineReply> ParseReplyLine(std::string_view line, ReplyStyle style, bool& more) {
  more = false;
  LineReply reply;
  reply.text = std::string(line);
  if (style == ReplyStyle::kPop3) {
    if (line.starts_with("+")) {
      reply.positive = true;
    } else if (!line.starts_with("-")) {
      return std::nullopt;
    }
    return reply;
  }
  if (line.size() < 3) return std::nullopt;
  for (size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return std::nullopt;
    reply.code = reply.code * 10 + (line[i] - '0');
  }
  if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return std::nullopt;
  more = line.size() > 3 && line[3] == '-';
  reply.positive = reply.code >= 100 && reply.code < 400;
  return reply;
}

std::optional<LineReply> LineChannel::ReadReply(ReplyStyle style) {
  const int64_t deadline = env_.MonotonicMs() + limits_.deadline_ms;
  std::vector<std::string> lines;
  std::string line;
  int first_code = 0;
  while (lines.size() < limits_.max_reply_lines) {
    if (!ReadLineBy(deadline, limits_.max_line, line)) return std::nullopt;
    bool more = false;
    std::optional<LineReply> reply = ParseReplyLine(line, style, more);
    // Lines between the first and the last of a numeric reply may be free
    // text (RFC 959); the first and the last carry the code.
    if (lines.empty()) {
      if (!reply) return std::nullopt;
      first_code = reply->code;
    }
    lines.push_back(line);
    if (reply && !more && reply->code == first_code) {
      reply->lines = std::move(lines);
      return reply;
    }
  }
  return std::nullopt;
}

LineChannel::Body LineChannel::ReadDotBody(size_t max_bytes,
                                           const std::function<bool(std::string_view line)>& sink) {
  const int64_t deadline = env_.MonotonicMs() + limits_.deadline_ms;
  size_t total = 0;
  std::string line;
  for (;;) {
    // A line longer than the whole body may be is read in pieces and dropped.
    if (!ReadLineBy(deadline, max_bytes, line)) return Body::kFailed;
    if (line == "." && !cut_) return total > max_bytes ? Body::kTooLarge : Body::kComplete;
    total += line.size() + 2 + (cut_ ? max_bytes : 0);
    if (total > max_bytes) continue;
    std::string_view text = line;
    if (text.starts_with("..")) text.remove_prefix(1);
    if (!sink(text)) return Body::kFailed;
  }
}

bool LineChannel::SendBodyLine(std::string_view line) {
  if (line.starts_with(".")) return SendLine("." + std::string(line));
  return SendLine(line);
}

}  // namespace netrove
