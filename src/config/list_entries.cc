#include "config/list_entries.h"

#include "config/syntax.h"

namespace netrove {

std::optional<std::string> ParseMapLinkEntry(const std::string& value) {
  size_t comma = value.find(',');
  if (comma == std::string::npos) return std::nullopt;
  size_t colon = value.find(':', comma + 1);
  if (colon == std::string::npos) return std::nullopt;
  std::string host = value.substr(comma + 1, colon - comma - 1);
  size_t option_at = value.find(',', colon + 1);
  std::string remote = value.substr(
      colon + 1, option_at == std::string::npos ? std::string::npos : option_at - colon - 1);
  std::string option = option_at == std::string::npos ? ",Show" : value.substr(option_at);
  uint16_t local_port = ReadWord(value.substr(0, comma));
  uint16_t remote_port = ReadWord(remote);
  if (local_port == 0 || remote_port == 0 || host.empty()) return std::nullopt;
  return std::to_string(local_port) + "," + host + ":" + std::to_string(remote_port) + option;
}

std::optional<EventRule> ParseEventIdEntry(const std::string& value) {
  auto [number_text, rest] = SplitFirstWord(value);
  auto [count_text, rest2] = SplitFirstWord(rest);
  auto [action_text, text] = SplitFirstWord(rest2);
  std::optional<uint16_t> number = ParseWord(number_text);
  std::optional<uint16_t> count = ParseWord(count_text);
  if (!number || !count) return std::nullopt;
  EventRule rule;
  rule.number = *number;
  rule.threshold = *count;
  std::string action = UpperAscii(action_text);
  if (action == "EXEC") {
    rule.action = EventAction::kExec;
  } else if (action == "RELOAD") {
    rule.action = EventAction::kReload;
  } else if (action == "EXIT") {
    rule.action = EventAction::kExit;
    text.clear();
  } else {
    return std::nullopt;
  }
  rule.text = text;
  return rule;
}

std::string EventRuleText(const EventRule& rule) {
  static constexpr const char* kActions[] = {"EXEC", "RELOAD", "EXIT"};
  std::string out = std::to_string(rule.number) + " " + std::to_string(rule.threshold) + " " +
                    kActions[static_cast<int>(rule.action)];
  if (!rule.text.empty()) out += " " + rule.text;
  return out;
}

}  // namespace netrove
