// The "command" device: DialCommand brings the link up (it may end, or
// stay as pppd's "nodetach" does, until the hang-up); the link is up while
// the Interface exists in /sys/class/net, or while StatusCommand exits
// with 0; HangupCommand takes it down. The programs get the dial
// parameters in their environment only, never on their command line.
#include "dialer/devices.h"
#include "runtime/tasks.h"

namespace netrove {
namespace {

constexpr int kStatusCommandMs = 5000;
constexpr int kHangupCommandMs = 15000;
constexpr int kDialStepMs = 250;

class CommandDevice final : public Device {
 public:
  CommandDevice(Env& env, std::string run_dir) : env_(env), run_dir_(std::move(run_dir)) {}

  int Dial(Connection& c, const DialRecord& params,
           const std::function<bool()>& interrupted) override {
    const PhonebookSection& s = c.section;
    EnvironmentList vars = {
        {"NETROVE_ENTRY", c.entry},
        {"NETROVE_PHONE", params.phone_number.empty() ? s.Get("Phone") : params.phone_number},
        {"NETROVE_USER", params.user_name},
        {"NETROVE_PASSWORD", params.password},
        {"NETROVE_DOMAIN", params.domain}};
    std::optional<std::vector<std::string>> words = SplitCommandLine(s.Get("DialCommand"));
    if (!words || words->empty()) return kErrorDeviceError;
    (void)env_.MakeDirectory(run_dir_, 0700);
    std::unique_ptr<Process> child = env_.Spawn(*words, vars, Log());
    if (!child) return kErrorDeviceError;
    for (;;) {
      if (interrupted() || c.cancel || TaskStopRequested())
        return kErrorUserDisconnection;  // the child's group ends with it
      std::optional<int> status = child->Poll();
      if (status && *status != 0) return kErrorDeviceError;
      if (Up(c, vars)) break;
      if (!TaskSleep(kDialStepMs)) return kErrorUserDisconnection;
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (c.cancel) return kErrorUserDisconnection;
    if (!child->Poll()) children_[c.handle] = std::move(child);  // pppd nodetach: ends at hang-up
    vars_[c.handle] = std::move(vars);
    return 0;
  }

  uint32_t LinkError(Connection& c) override {
    return Up(c, Vars(c)) ? 0 : kErrorRemoteDisconnection;
  }

  void Release(Connection& c) override {
    std::unique_ptr<Process> child;
    EnvironmentList vars;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (auto it = children_.find(c.handle); it != children_.end()) {
        child = std::move(it->second);
        children_.erase(it);
      }
      vars = vars_[c.handle];
      vars_.erase(c.handle);
    }
    std::string hangup = c.section.Get("HangupCommand");
    if (!hangup.empty()) (void)RunCommandLine(env_, hangup, vars, Log(), kHangupCommandMs);
    if (child) child->KillGroup();
  }

 private:
  std::string Log() const { return run_dir_ + "/commands.log"; }
  EnvironmentList Vars(const Connection& c) {
    std::lock_guard<std::mutex> lock(mu_);
    return vars_[c.handle];
  }
  bool Up(const Connection& c, const EnvironmentList& vars) {
    std::string ifname = c.section.Get("Interface");
    if (!ifname.empty()) {
      if (ifname.find('/') != std::string::npos || ifname == "." || ifname == "..") return false;
      return FileExists(env_, "/sys/class/net/" + ifname);
    }
    std::string status = c.section.Get("StatusCommand");
    if (status.empty()) return false;
    std::optional<int> rc = RunCommandLine(env_, status, vars, Log(), kStatusCommandMs);
    return rc && *rc == 0;
  }

  Env& env_;
  const std::string run_dir_;
  std::mutex mu_;
  std::map<uint32_t, std::unique_ptr<Process>> children_;  // guarded by mu_
  std::map<uint32_t, EnvironmentList> vars_;               // guarded by mu_
};

}  // namespace

std::unique_ptr<Device> MakeCommandDevice(Env& env, std::string run_dir) {
  return std::make_unique<CommandDevice>(env, std::move(run_dir));
}

}  // namespace netrove
