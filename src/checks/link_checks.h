// Checks of the Internet link: the URL check (first line of a web page),
// and the two watch tasks that run while the link is up: "Check URL"
// (redial when the page cannot be reached) and "Check NetTime" (hang up, or
// stop, when no service has used the link for the idle limit).
//
// The session controller's own StartLinkWatch/StopLinkWatch and link
// tests call into these.
//
// Thread safety: all functions may be called from any task.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace netrove::checks {

// Contacts the host of `url` (scheme and path dropped, port 80 unless the
// text names one) with "GET / HTTP/1.0" and judges the link usable when the
// first line of the answer begins with "HTTP/1". With `announce`, the local
// address of the link is stored as LocalAddressText and logged as
// "Connected as <name> [<address>]". A failed check counts as passed while
// the session controller already has a request pending.
bool CheckUrl(const std::string& url, bool announce);

// The $CHECKURL macro: runs the announcing check on its own task "Check
// URL", against `url` (the configured CHECKURL when empty). A check still
// running from an earlier macro is left to finish; the new one is dropped.
void StartCheckUrlTask(const std::string& url);

// Called when the link comes up: LinkMode on-line, the idle clock restarted,
// "Check NetTime" started when NETSTOPTIME or NETSLEEPTIME is set, and
// "Check URL" when CHECKURLTIME is set.
void StartLinkWatch();
// Called when the link ends: LinkMode idle, both tasks stopped.
void StopLinkWatch();
bool LinkWatchRunning();

// The periods of the watch tasks, shortened by tests.
struct LinkCheckTimings {
  int64_t minute_ms = 60000;     // one minute of CHECKURLTIME
  int64_t idle_poll_ms = 10000;  // "Check NetTime" looks this often
};
LinkCheckTimings LinkCheckTimingsNow();
void SetLinkCheckTimingsForTesting(const LinkCheckTimings& timings);

// The link's own local address (network order) for the announcement; by
// default the local interface address. The dialer may install the address
// of the dialled connection; nullptr restores the default.
void SetLinkAddressSource(std::function<uint32_t()> source);

// "<reverse name> [<address>]", or the address alone without a name.
std::string LocalDescription(uint32_t network_order);

}  // namespace netrove::checks
