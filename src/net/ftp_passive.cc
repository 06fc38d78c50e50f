#include "net/ftp_passive.h"

#include <array>

#include "runtime/text.h"

namespace netrove {

std::optional<PassiveTarget> ParsePassiveReply(std::string_view reply) {
  if (!reply.starts_with("227")) return std::nullopt;
  const size_t open = reply.find('(');
  if (open == std::string_view::npos) return std::nullopt;
  const size_t close = reply.find(')', open);
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view inside = reply.substr(open + 1, close - open - 1);
  std::array<int, 6> numbers{};
  for (size_t i = 0; i < numbers.size(); ++i) {
    const size_t end = i + 1 < numbers.size() ? inside.find(',') : inside.size();
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view digits = inside.substr(0, end);
    while (!digits.empty() && digits.front() == ' ') digits.remove_prefix(1);
    while (!digits.empty() && digits.back() == ' ') digits.remove_suffix(1);
    const std::optional<uint64_t> value = ParseDecimal(digits, 3);
    if (!value || *value > 255) return std::nullopt;
    numbers[i] = static_cast<int>(*value);
    inside.remove_prefix(end == inside.size() ? end : end + 1);
  }
  PassiveTarget target;
  for (size_t i = 0; i < 4; ++i) target.address += (i ? "." : "") + std::to_string(numbers[i]);
  target.port = static_cast<uint16_t>(numbers[4] * 256 + numbers[5]);
  return target;
}

}  // namespace netrove
