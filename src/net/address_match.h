// The matcher of address-list entries. Pure functions: no I/O, no state;
// any input (garbage, binary bytes, impossible windows) gives false rather
// than a crash.
//
// Entry: zero or more time windows each followed by ",", an address pattern
// of four "."-separated parts (decimal octet or "*"), optionally ":" and the
// local port it applies to. A leading "#" is ignored.
// Window: [day digits "."] hh:mm "-" hh:mm, days 0 (Sunday) .. 6; an end
// hour of 0 counts as 24; a window whose start lies after its end never holds.
#pragma once

#include <cstdint>
#include <string>

namespace netrove {

// `client` is the dotted client address with a "." appended; time windows
// are judged at `local_seconds` (Env::LocalSeconds). A pattern of more than
// four parts matches nothing.
bool MatchAddressEntry(const std::string& client, const std::string& entry, uint16_t local_port,
                       int64_t local_seconds);
// True when the entry's address pattern has more than four parts (it then
// matches nothing: "127.0.0.2.99" must not admit 127.0.0.2).
bool AddressPatternTooLong(const std::string& entry);
// True when the entry's address pattern (its time windows and port aside)
// admits some address outside loopback and the private and link-local
// networks (127/8, 10/8, 172.16/12, 192.168/16, 169.254/16).
bool AddressEntryAdmitsOutside(const std::string& entry);
// The window at a local time (Env::LocalSeconds).
bool TimeWindowHolds(const std::string& window, int64_t local_seconds);
// The window at a given weekday (0 = Sunday) and minute of the day.
bool TimeWindowHoldsAt(const std::string& window, int weekday, int minute_of_day);

}  // namespace netrove
