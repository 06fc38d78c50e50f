// The request side of the POP3 server: how a request line is cleaned and
// split into a command and its argument in either state, and how the
// message numbers and line counts of the arguments read. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace netrove {

struct Pop3Command {
  std::string verb;      // upper case
  std::string argument;  // as sent, without the blank before it
  bool blank = false;    // the line held a blank
};

// Before login: a line with a blank gives the word up to the blank
// ("USER", "PASS", ...) and the rest; a line without one gives its first
// four characters ("QUIT" for "quitting") and the whole line as the
// argument. `prepared` is a CollapseBlanks result.
Pop3Command SplitAuthorisationCommand(const std::string& prepared);
// After login: the word before the first blank and the rest.
Pop3Command SplitTransactionCommand(const std::string& prepared);

// A message number: decimal 0..65535; anything else reads as 0, which no
// message has.
uint16_t ParseMessageNumber(std::string_view text);
// The line count of TOP: decimal digits only (a larger count than any
// message has stands for all); nullopt otherwise ("-5", "x", "").
std::optional<uint64_t> ParseLineCount(std::string_view text);

// Text of a peer echoed in a reply or quoted in a log line, with the
// bytes that could break the line (below 32, 127) replaced by "?".
std::string EchoText(std::string_view text);

}  // namespace netrove
