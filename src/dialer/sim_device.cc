// The "sim" device: a simulated modem. Each dial takes the next outcome of
// the entry's "Answer" list (busy, no answer, an error code, hang, connect
// with a delay and an optional line drop).
#include <cstdlib>

#include "dialer/devices.h"
#include "runtime/tasks.h"
#include "runtime/text.h"

namespace netrove {
namespace {

constexpr size_t kMaxOutcomes = 100;
constexpr int kDialStepMs = 50;

double Seconds(const std::string& word, double fallback) {
  char* end = nullptr;
  double v = std::strtod(word.c_str(), &end);
  if (word.empty() || end == nullptr || *end != '\0' || !(v >= 0)) return fallback;
  return v > 86400 ? 86400 : v;
}

int64_t Ms(double seconds) { return static_cast<int64_t>(seconds * 1000); }

class SimDevice final : public Device {
 public:
  explicit SimDevice(Env& env) : env_(env) {}

  int Dial(Connection& c, const DialRecord&, const std::function<bool()>& interrupted) override {
    std::vector<SimOutcome> outcomes = ParseSimAnswers(c.section.Get("Answer"));
    SimOutcome o;
    {
      std::lock_guard<std::mutex> lock(mu_);
      size_t& pos = position_[UpperAscii(c.entry)];
      o = outcomes[pos % outcomes.size()];
      pos = (pos + 1) % outcomes.size();
    }
    const int64_t until = env_.MonotonicMs() + Ms(o.delay);
    while (o.kind == SimOutcome::kHang || env_.MonotonicMs() < until) {
      if (interrupted() || c.cancel || !TaskSleep(kDialStepMs)) return kErrorUserDisconnection;
    }
    if (o.kind == SimOutcome::kError) return o.error;
    std::lock_guard<std::mutex> lock(mu_);
    if (c.cancel) return kErrorUserDisconnection;
    if (o.drop_after >= 0) drop_at_[c.handle] = env_.MonotonicMs() + Ms(o.drop_after);
    return 0;
  }

  uint32_t LinkError(Connection& c) override {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = drop_at_.find(c.handle);
    return it != drop_at_.end() && env_.MonotonicMs() >= it->second ? kErrorRemoteDisconnection : 0;
  }

  void Release(Connection& c) override {
    std::lock_guard<std::mutex> lock(mu_);
    drop_at_.erase(c.handle);
  }

 private:
  Env& env_;
  std::mutex mu_;
  std::map<std::string, size_t> position_;  // guarded by mu_; per upper-cased entry name
  std::map<uint32_t, int64_t> drop_at_;     // guarded by mu_; handle -> when the line drops
};

}  // namespace

std::unique_ptr<Device> MakeSimDevice(Env& env) { return std::make_unique<SimDevice>(env); }

std::vector<SimOutcome> ParseSimAnswers(const std::string& text) {
  std::vector<SimOutcome> outcomes;
  size_t pos = 0;
  while (pos <= text.size() && outcomes.size() < kMaxOutcomes) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    std::string item = Trim(text.substr(pos, comma - pos));
    pos = comma + 1;
    if (item.empty()) continue;
    std::vector<std::string> words;
    for (size_t i = 0; i < item.size();) {
      size_t e = item.find_first_of(" \t", i);
      if (e == std::string::npos) e = item.size();
      if (e > i) words.push_back(item.substr(i, e - i));
      i = e + 1;
    }
    std::string kind = UpperAscii(words[0]);
    std::string second = words.size() > 1 ? words[1] : "";
    SimOutcome o;
    if (kind == "CONNECT") {
      o.kind = SimOutcome::kConnect;
      o.delay = Seconds(second, 2);
      o.drop_after = words.size() > 2 ? Seconds(words[2], -1) : -1;
    } else if (kind == "HANG") {
      o.kind = SimOutcome::kHang;
    } else {
      o.kind = SimOutcome::kError;
      if (kind == "BUSY") {
        o.error = kErrorLineBusy, o.delay = Seconds(second, 2);
      } else if (kind == "NOANSWER") {
        o.error = kErrorNoAnswer, o.delay = Seconds(second, 5);
      } else if (kind == "NODIALTONE") {
        o.error = kErrorNoDialTone, o.delay = Seconds(second, 1);
      } else {
        char* end = nullptr;
        long code = std::strtol(kind.c_str(), &end, 10);
        bool number = *end == '\0' && code > 0 && code < 100000;
        o.error = number ? static_cast<int>(code) : kErrorHardwareFailure;
        o.delay = Seconds(second, 1);
      }
    }
    outcomes.push_back(o);
  }
  if (outcomes.empty()) outcomes.push_back(SimOutcome{});
  return outcomes;
}

}  // namespace netrove
