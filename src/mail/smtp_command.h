// The request side of the SMTP server and the texts it writes into stored
// mail: the command split, the address of MAIL and RCPT, the HELO name,
// the recipient list without duplicates and the "Received:" header. Pure
// functions; any input gives a result, never a crash.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace netrove {

struct SmtpCommand {
  std::string word;      // the text before the first blank, upper case
  std::string argument;  // the text after that blank, as sent ("" without one)
};
SmtpCommand SplitSmtpCommand(std::string_view line);

// The address of "MAIL FROM:<a@b>" / "RCPT TO:<a@b>": the text after the
// first "<" (the whole argument without one), cut at the next ">".
std::string ExtractAddress(std::string_view argument);

// True when the address can be written into a queue file and a header:
// no control characters (a CR would end the line and start another).
bool IsPrintableAddress(std::string_view address);

// The letters, digits, "-", "." and "@" of a HELO argument, in order.
std::string CleanHeloName(std::string_view argument);

// Sorts the list without regard to case and keeps one of each run of
// entries equal without regard to case.
void DedupRecipients(std::vector<std::string>& recipients);

// "Mon, 7 Dec 2026 11:20:52 +0100": the local time `local_seconds`
// (Env::LocalSeconds) in a zone `zone_bias` seconds east of UTC ("+" when
// ahead of UTC, "-" otherwise, so UTC itself is "-0000").
std::string SmtpDateText(int64_t local_seconds, int64_t zone_bias);

// The three lines put in front of a stored message, each ended by one CR:
//   Received: from <helo> [<ip>] by <computer> with SMTP
//             [for <recipient>; ]<date>
//             (envelope-from <sender>)
// The HELO part is left out when `helo_name` is empty, the "for" part
// when `recipient` is.
std::string ReceivedHeader(std::string_view helo_name, std::string_view client_ip,
                           std::string_view computer_name, std::string_view recipient,
                           std::string_view sender, int64_t local_seconds, int64_t zone_bias);

}  // namespace netrove
