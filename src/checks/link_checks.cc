#include "checks/link_checks.h"

#include <algorithm>

#include "runtime/clock.h"

namespace netrove {
namespace {

constexpr size_t kStatusLineLimit = 65530;

// The host part of a check target: scheme prefix and path removed.
std::string HostPart(const std::string& url) {
  std::string host = url.substr(0, 255);
  size_t scheme = host.find("//");
  if (scheme != std::string::npos) host.erase(0, scheme + 2);
  size_t slash = host.find('/');
  if (slash != std::string::npos) host.erase(slash);
  return host;
}

}  // namespace

LinkChecker::LinkChecker(Env& env, Tasks& tasks, Log& log, Console& console, ConfigStore& config,
                         SharedState& shared, Network& network, const LinkCheckTimings& timings,
                         LinkAddressSource address_source)
    : env_(env),
      tasks_(tasks),
      log_(log),
      console_(console),
      config_(config),
      shared_(shared),
      network_(network),
      timings_(timings),
      address_source_(std::move(address_source)) {}

LinkChecker::~LinkChecker() {
  StopWatch();
  Tasks::TakeAndStop(mu_, macro_check_);
}

uint32_t LinkChecker::LinkAddress() {
  LinkAddressSource source;
  {
    std::lock_guard<std::mutex> lock(mu_);
    source = address_source_;
  }
  return source ? source() : network_.resolver().LocalInterfaceAddress();
}

std::string LinkChecker::Announce(uint32_t address) {
  shared_.local_address_text.Set(DottedAddress(address));
  return LocalDescription(address);
}

bool LinkChecker::RunCheck(const std::string& url, bool announce) {
  std::string description;
  if (announce) description = Announce(LinkAddress());
  std::string host = HostPart(url);
  if (host.empty()) {
    if (announce) log_.Write("Connected as " + description);
    return true;
  }
  console_.StatusLine("Contacting with host " + host);
  SocketVar connection = network_.connector().Connect(host, 80);
  if (!connection.is_open()) {
    log_.Write("Not found DNS or not found host IP address");
    return false;
  }
  int fd = connection.handle();
  if (announce) {
    if (uint32_t used = GetLocalAddress(fd); used != 0) description = Announce(used);
    log_.Write("Connected as " + description);
  }
  log_.Write("Contacting with host " + host + " [" + DottedAddress(GetPeerAddress(fd)) + "]");
  static constexpr char kRequest[] = "GET / HTTP/1.0\r\n\r\n";
  if (!SendBuffer(connection, kRequest, sizeof kRequest - 1)) return false;
  std::string line;
  (void)ReadLine(connection, kStatusLineLimit, line);
  CloseSocketVar(connection);
  return line.compare(0, 6, "HTTP/1") == 0;
}

bool LinkChecker::CheckUrl(const std::string& url, bool announce) {
  // A failed check while the controller already has a request pending
  // (stopping, say) is not the link's fault.
  return RunCheck(url, announce) || shared_.control_request.load() != kRequestNone;
}

bool LinkChecker::FirstTest() { return CheckUrl(config_.Current()->check_url, true); }

bool LinkChecker::Test() { return CheckUrl(config_.Current()->check_url, false); }

uint32_t LinkChecker::CheckUrlTask() {
  for (;;) {
    int64_t period = config_.Current()->check_url_time * timings_.minute_ms;
    if (!TaskSleep(period)) return 0;
    if (!CheckUrl(config_.Current()->check_url, false)) shared_.control_request = kRequestRedial;
  }
}

// `since`: when the link came up.
uint32_t LinkChecker::CheckNetTimeTask(uint32_t since) {
  std::shared_ptr<const ConfigRecord> config = config_.Current();
  const bool stop = config->net_stop_time != 0;
  const uint32_t limit = (stop ? config->net_stop_time : config->net_sleep_time) * 60u;
  LinkUsers& users = network_.link_users();
  // After firing the idle clock starts again, so the request is repeated
  // only after another full limit.
  while (TaskSleep(timings_.idle_poll_ms)) {
    if (users.Users() > 0) continue;
    uint32_t last_use = std::max(users.LastUse(), since);
    if (last_use + limit > NowSeconds(env_)) continue;
    shared_.control_request = stop ? kRequestStop : kRequestSleep;
    since = NowSeconds(env_);
  }
  return 0;
}

std::string LocalDescription(uint32_t network_order) {
  std::string address = DottedAddress(network_order);
  std::string name = ReverseLookup(network_order);
  return name.empty() ? address : name + " [" + address + "]";
}

void LinkChecker::StartMacroCheck(const std::string& url) {
  std::string target = url.empty() ? config_.Current()->check_url : url;
  std::lock_guard<std::mutex> lock(mu_);
  if (Tasks::Running(macro_check_)) return;
  macro_check_ = tasks_.Start("Check URL", [this, target](uint32_t) -> uint32_t {
    (void)CheckUrl(target, true);
    return 0;
  });
}

void LinkChecker::StartWatch() {
  StopWatch();
  shared_.link_mode = kLinkOnline;
  std::shared_ptr<const ConfigRecord> config = config_.Current();
  std::lock_guard<std::mutex> lock(mu_);
  if (config->net_stop_time != 0 || config->net_sleep_time != 0) {
    check_net_time_ = tasks_.Start(
        "Check NetTime", [this](uint32_t since) { return CheckNetTimeTask(since); },
        NowSeconds(env_));
  }
  if (config->check_url_time != 0)
    check_url_ = tasks_.Start("Check URL", [this](uint32_t) { return CheckUrlTask(); });
}

void LinkChecker::StopWatch() {
  shared_.link_mode = kLinkIdle;
  Tasks::TakeAndStop(mu_, check_url_, check_net_time_);
}

bool LinkChecker::WatchRunning() const {
  std::lock_guard<std::mutex> lock(mu_);
  return Tasks::Running(check_url_) || Tasks::Running(check_net_time_);
}

void LinkChecker::SetLinkAddressSource(LinkAddressSource source) {
  std::lock_guard<std::mutex> lock(mu_);
  address_source_ = std::move(source);
}

}  // namespace netrove
