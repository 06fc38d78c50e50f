// Checks of the Internet link: the URL check (first line of a web page),
// and the two watch tasks that run while the link is up: "Check URL"
// (redial when the page cannot be reached) and "Check NetTime" (hang up, or
// stop, when no service has used the link for the idle limit).
//
// Thread safety: every member may be called from any task.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "config/config.h"
#include "net/network.h"
#include "runtime/console.h"
#include "runtime/env.h"
#include "runtime/log.h"
#include "runtime/shared_state.h"
#include "runtime/tasks.h"

namespace netrove {

// What the session controller needs of the link checks.
class LinkChecks {
 public:
  virtual ~LinkChecks() = default;
  // The announcing check of the configured CHECKURL, when a link has just
  // come up.
  virtual bool FirstTest() = 0;
  // The same without the announcement (the "test link" request).
  virtual bool Test() = 0;
  // Called when the link comes up: LinkMode on-line, the idle clock
  // restarted, "Check NetTime" started when NETSTOPTIME or NETSLEEPTIME is
  // set, and "Check URL" when CHECKURLTIME is set.
  virtual void StartWatch() = 0;
  // Called when the link ends: LinkMode idle, both tasks stopped.
  virtual void StopWatch() = 0;
};

// The periods of the watch tasks, shortened by tests.
struct LinkCheckTimings {
  int64_t minute_ms = 60000;     // one minute of CHECKURLTIME
  int64_t idle_poll_ms = 10000;  // "Check NetTime" looks this often
};

// The link's own local address (network order) for the announcement.
using LinkAddressSource = std::function<uint32_t()>;

class LinkChecker final : public LinkChecks {
 public:
  // `address_source`: the address announced for the link; by default the
  // local interface address (the dialer may install the address of the
  // dialled connection, see SetLinkAddressSource).
  LinkChecker(Env& env, Tasks& tasks, Log& log, Console& console, ConfigStore& config,
              SharedState& shared, Network& network,
              const LinkCheckTimings& timings = LinkCheckTimings(),
              LinkAddressSource address_source = nullptr);
  // Stops the watch and a macro's check.
  ~LinkChecker() override;
  LinkChecker(const LinkChecker&) = delete;
  LinkChecker& operator=(const LinkChecker&) = delete;

  // Contacts the host of `url` (scheme and path dropped, port 80 unless the
  // text names one) with "GET / HTTP/1.0" and judges the link usable when
  // the first line of the answer begins with "HTTP/1". With `announce`, the
  // local address of the link is stored as LocalAddressText and logged as
  // "Connected as <name> [<address>]". A failed check counts as passed
  // while the session controller already has a request pending.
  bool CheckUrl(const std::string& url, bool announce);

  // LinkChecks.
  bool FirstTest() override;
  bool Test() override;
  void StartWatch() override;
  void StopWatch() override;
  bool WatchRunning() const;

  // The $CHECKURL macro: runs the announcing check on its own task "Check
  // URL", against `url` (the configured CHECKURL when empty). A check
  // still running from an earlier macro is left to finish; the new one is
  // dropped.
  void StartMacroCheck(const std::string& url);

  // nullptr restores the local interface address.
  void SetLinkAddressSource(LinkAddressSource source);

 private:
  uint32_t LinkAddress();
  std::string Announce(uint32_t address);
  bool RunCheck(const std::string& url, bool announce);
  uint32_t CheckUrlTask();
  uint32_t CheckNetTimeTask(uint32_t since);

  Env& env_;
  Tasks& tasks_;
  Log& log_;
  Console& console_;
  ConfigStore& config_;
  SharedState& shared_;
  Network& network_;
  const LinkCheckTimings timings_;
  mutable std::mutex mu_;
  LinkAddressSource address_source_;  // guarded by mu_
  TaskHandle check_url_;              // guarded by mu_
  TaskHandle check_net_time_;         // guarded by mu_
  TaskHandle macro_check_;            // guarded by mu_
};

// "<reverse name> [<address>]", or the address alone without a name.
std::string LocalDescription(uint32_t network_order);

}  // namespace netrove
