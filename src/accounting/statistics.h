// On-line time and cost counters of a connection, kept in "<name>.lim".
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace netrove {

// The counters; also the exact 58-byte little-endian layout of the file.
struct StatRecord {
  uint32_t day_seconds = 0;
  uint32_t week_seconds = 0;
  uint32_t month_seconds = 0;
  uint32_t total_seconds = 0;
  uint16_t day = 0;    // day of month of the current accounting day
  uint16_t week = 0;   // NowSeconds() / 604800 of the current accounting week
  uint16_t month = 0;  // 1-12
  uint32_t connection_seconds = 0;
  double day_cost = 0, week_cost = 0, month_cost = 0, total_cost = 0;

  static constexpr size_t kFileSize = 58;
  std::array<uint8_t, kFileSize> Encode() const;
  // Decodes a file image; a short image gives nullopt.
  static std::optional<StatRecord> Decode(const std::string& bytes);
};

// Time limits in seconds (0 = none), as prepared by the configuration load.
struct TimeLimits {
  int32_t day = 0, week = 0, month = 0;
};

// The report lines as printed (without clearing the screen).
std::string StatisticsReport(const std::string& connection, const StatRecord& record,
                             const TimeLimits& limits, const std::string& closing_message);

}  // namespace netrove
