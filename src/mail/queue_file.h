// The text of an outgoing queue file ("MailBox/<n>.smtp"): the envelope
// sender, one recipient a line, an empty line, then the message (its
// Received header and lines, stored dot-stuffed as on the wire). The SMTP
// server writes lines ended by a single CR; CR LF and LF are read too.
//
// The text comes from a file anyone with access to the mail directory can
// change: every part is bounded and a file that does not fit is refused
// whole, never sent in part.
//
// Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace netrove {

// The largest queue file read into memory; a bigger one is refused.
inline constexpr size_t kMaxQueueFileBytes = size_t{64} << 20;
// The most recipients of one file (the SMTP server takes no more).
inline constexpr size_t kMaxQueueRecipients = 1000;
// The longest envelope address.
inline constexpr size_t kMaxQueueAddress = 1000;

struct QueueFile {
  std::string sender;
  std::vector<std::string> recipients;
  // Where the message starts in the parsed text.
  size_t body_offset = 0;
  bool operator==(const QueueFile&) const = default;
};

// The envelope of a queue file and where its message starts. Nullopt when
// the text is larger than kMaxQueueFileBytes, holds a NUL byte, has no
// empty line after the envelope, or when the sender is empty, there is no
// recipient or more than kMaxQueueRecipients, or an address is longer than
// kMaxQueueAddress or holds a control character.
std::optional<QueueFile> ParseQueueFile(std::string_view text);

// Takes the next line off `rest`: the text up to CR LF, CR or LF (the end
// is dropped), or the remainder when no end follows. False when `rest` is
// empty.
bool TakeQueueLine(std::string_view& rest, std::string_view& line);

// The text of a queue file in the form the SMTP server writes (lines ended
// by CR); `message` is put after the empty line as it is.
std::string QueueFileText(std::string_view sender, const std::vector<std::string>& recipients,
                          std::string_view message);

}  // namespace netrove
