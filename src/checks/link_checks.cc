#include "accounting/link_check.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <mutex>

#include "accounting/clock.h"
#include "config/config.h"
#include "net/connect.h"
#include "net/link_users.h"
#include "net/resolver.h"
#include "net/socket.h"
#include "runtime/console.h"
#include "runtime/log.h"
#include "runtime/shared_state.h"
#include "runtime/tasks.h"

namespace netrove::checks {
namespace {

constexpr size_t kStatusLineLimit = 65530;

struct WatchState {
  std::mutex mu;
  TaskHandle check_url;                      // guarded by mu
  TaskHandle check_net_time;                 // guarded by mu
  TaskHandle macro_check;                    // guarded by mu
  LinkCheckTimings timings;                  // guarded by mu
  std::function<uint32_t()> address_source;  // guarded by mu
};

WatchState& Watch() {
  static WatchState state;
  return state;
}

uint32_t LinkAddress() {
  std::function<uint32_t()> source;
  {
    std::lock_guard<std::mutex> lock(Watch().mu);
    source = Watch().address_source;
  }
  return source ? source() : LocalInterfaceAddress();
}

uint32_t SocketLocalAddress(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return addr.sin_family == AF_INET ? addr.sin_addr.s_addr : 0;
}

// The host part of a check target: scheme prefix and path removed.
std::string HostPart(const std::string& url) {
  std::string host = url.substr(0, 255);
  size_t scheme = host.find("//");
  if (scheme != std::string::npos) host.erase(0, scheme + 2);
  size_t slash = host.find('/');
  if (slash != std::string::npos) host.erase(slash);
  return host;
}

std::string Announce(uint32_t address) {
  Shared().local_address_text.Set(DottedAddress(address));
  return LocalDescription(address);
}

bool Judge(bool passed) { return passed || Shared().control_request.load() != kRequestNone; }

bool RunCheck(const std::string& url, bool announce) {
  std::string description;
  if (announce) description = Announce(LinkAddress());
  std::string host = HostPart(url);
  if (host.empty()) {
    if (announce) Log("Connected as " + description);
    return true;
  }
  ConsoleStatusLine("Contacting with host " + host);
  SocketVar connection = ConnectToHost(host, 80);
  if (!connection.is_open()) {
    Log("Not found DNS or not found host IP address");
    return false;
  }
  int fd = connection.handle();
  if (announce) {
    if (uint32_t used = SocketLocalAddress(fd); used != 0) description = Announce(used);
    Log("Connected as " + description);
  }
  Log("Contacting with host " + host + " [" + DottedAddress(GetPeerAddress(fd)) + "]");
  static constexpr char kRequest[] = "GET / HTTP/1.0\r\n\r\n";
  if (!SendBuffer(connection, kRequest, sizeof kRequest - 1)) return false;
  std::string line;
  (void)ReadLine(connection, kStatusLineLimit, line);
  CloseSocketVar(connection);
  return line.compare(0, 6, "HTTP/1") == 0;
}

uint32_t CheckUrlTask(uint32_t) {
  for (;;) {
    int64_t period = CurrentConfig()->check_url_time * LinkCheckTimingsNow().minute_ms;
    if (!TaskSleep(period)) return 0;
    if (!CheckUrl(CurrentConfig()->check_url, false)) Shared().control_request = kRequestRedial;
  }
}

// `since`: when the link came up.
uint32_t CheckNetTimeTask(uint32_t since) {
  std::shared_ptr<const ConfigRecord> config = CurrentConfig();
  const bool stop = config->net_stop_time != 0;
  const uint32_t limit = (stop ? config->net_stop_time : config->net_sleep_time) * 60u;
  // After firing the idle clock starts again, so the request is repeated
  // only after another full limit.
  while (TaskSleep(LinkCheckTimingsNow().idle_poll_ms)) {
    if (LinkUsers() > 0) continue;
    uint32_t last_use = std::max(LastLinkUse(), since);
    if (last_use + limit > NowSeconds()) continue;
    Shared().control_request = stop ? kRequestStop : kRequestSleep;
    since = NowSeconds();
  }
  return 0;
}

}  // namespace

bool CheckUrl(const std::string& url, bool announce) { return Judge(RunCheck(url, announce)); }

std::string LocalDescription(uint32_t network_order) {
  std::string address = DottedAddress(network_order);
  std::string name = ReverseLookup(network_order);
  return name.empty() ? address : name + " [" + address + "]";
}

void StartCheckUrlTask(const std::string& url) {
  std::string target = url.empty() ? CurrentConfig()->check_url : url;
  WatchState& w = Watch();
  std::lock_guard<std::mutex> lock(w.mu);
  if (TaskRunning(w.macro_check)) return;
  w.macro_check = StartTask("Check URL", [target](uint32_t) -> uint32_t {
    (void)CheckUrl(target, true);
    return 0;
  });
}

void StartLinkWatch() {
  StopLinkWatch();
  Shared().link_mode = kLinkOnline;
  std::shared_ptr<const ConfigRecord> config = CurrentConfig();
  WatchState& w = Watch();
  std::lock_guard<std::mutex> lock(w.mu);
  if (config->net_stop_time != 0 || config->net_sleep_time != 0)
    w.check_net_time = StartTask("Check NetTime", CheckNetTimeTask, NowSeconds());
  if (config->check_url_time != 0) w.check_url = StartTask("Check URL", CheckUrlTask);
}

void StopLinkWatch() {
  Shared().link_mode = kLinkIdle;
  TaskHandle check_url, check_net_time;
  {
    std::lock_guard<std::mutex> lock(Watch().mu);
    check_url = std::move(Watch().check_url);
    check_net_time = std::move(Watch().check_net_time);
  }
  StopTask(check_url);
  StopTask(check_net_time);
}

bool LinkWatchRunning() {
  std::lock_guard<std::mutex> lock(Watch().mu);
  return TaskRunning(Watch().check_url) || TaskRunning(Watch().check_net_time);
}

LinkCheckTimings LinkCheckTimingsNow() {
  std::lock_guard<std::mutex> lock(Watch().mu);
  return Watch().timings;
}

void SetLinkCheckTimingsForTesting(const LinkCheckTimings& timings) {
  std::lock_guard<std::mutex> lock(Watch().mu);
  Watch().timings = timings;
}

void SetLinkAddressSource(std::function<uint32_t()> source) {
  std::lock_guard<std::mutex> lock(Watch().mu);
  Watch().address_source = std::move(source);
}

}  // namespace netrove::checks
