// Message data as the web mail shows it: header fields decoded from their
// MIME encoded words, sender and reply address, the size and date texts
// of a listing line, and body lines as HTML with links.
//
// Everything returned as HTML (RenderMessageLine, ContentTypeMeta,
// QuoteBodyLine) is escaped: message text never brings an element, an
// attribute or an "&&" of its own. The plain texts of MessageHeaderInfo
// are raw and must be escaped where they are written.
//
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace netrove {

inline constexpr size_t kHeaderTextLimit = 255;

// Where the number links of "ICQ 12345" / "UIN 12345" lead; the number
// is appended (and "&img=5" to the image address).
inline constexpr std::string_view kIcqPageAddress = "http://icq.netrove.invalid/people/";
inline constexpr std::string_view kIcqStatusAddress = "http://icq.netrove.invalid/status.gif?uin=";

// MIME encoded words ("=?charset?B?...?=", "=?charset?Q?...?=") decoded
// to their raw bytes; the result trimmed and at most kHeaderTextLimit
// bytes.
std::string DecodeHeaderText(std::string_view text);

struct MessageHeaderInfo {
  std::string subject;       // "" when missing ("none" is shown)
  std::string from;          // display name or address; "" when missing ("unknown")
  std::string reply;         // the reply address; "" when missing ("-")
  std::string content_type;  // the decoded Content-Type value, "" when missing
  bool stale = true;         // set when the current message changes
};

// Applies one header line of "TOP n 0" (folded continuation lines are
// not joined and change nothing).
void ApplyHeaderLine(std::string_view line, MessageHeaderInfo& info);

// The meta element for a Content-Type value ("" for an empty value), the
// value escaped.
std::string ContentTypeMeta(std::string_view content_type);

// The size and packed DOS date-time of a positive "MLIST n" reply line
// ("+OK <n> <size><8 hex digits>"); nullopt for any other line.
struct ListingInfo {
  uint64_t size = 0;
  uint32_t time = 0;
};
std::optional<ListingInfo> ParseListingReply(std::string_view line);
// "2001-05-17 13:45:09" for a packed DOS date-time.
std::string DosDateTimeText(uint32_t packed);

// One body line as HTML: escaped, with links made of mail addresses
// (`mail_link_prefix` + the address), web addresses and ICQ numbers.
std::string RenderMessageLine(std::string_view line, std::string_view mail_link_prefix);
// ">" + the line + CR LF, escaped, for a reply form.
std::string QuoteBodyLine(std::string_view line);

}  // namespace netrove
