// The list keywords whose lines have an inner structure: MAPLINK/MAPULINK
// and EVENTID. Pure functions; thread-safe; a malformed line gives nothing.
#pragma once

#include <optional>
#include <string>

#include "config/config.h"

namespace netrove {

// "local,host:remote[,option]" -> "local,host:remote,option" (",Show" when
// no option is written). Both ports must be numbers 1..65535 and the host
// must not be empty.
std::optional<std::string> ParseMapLinkEntry(const std::string& value);

// "number count action [text]": number and count 0..65535, action EXEC,
// RELOAD or EXIT in any case. EXIT drops the text; the running count is 0.
std::optional<EventRule> ParseEventIdEntry(const std::string& value);

// The collected form: number, count, upper-cased action and text joined by
// single spaces (no trailing space when the text is empty).
std::string EventRuleText(const EventRule& rule);

}  // namespace netrove
