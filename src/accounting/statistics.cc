#include "accounting/statistics.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "runtime/clock.h"

namespace netrove {
namespace {

template <typename T>
void Put(uint8_t* out, size_t& off, T value) {
  uint64_t bits = 0;
  if constexpr (sizeof(T) == 8 && std::is_floating_point_v<T>) {
    std::memcpy(&bits, &value, 8);
  } else {
    bits = static_cast<uint64_t>(value);
  }
  for (size_t i = 0; i < sizeof(T); ++i) out[off + i] = static_cast<uint8_t>(bits >> (8 * i));
  off += sizeof(T);
}

template <typename T>
T Get(const uint8_t* in, size_t& off) {
  uint64_t bits = 0;
  for (size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<uint64_t>(in[off + i]) << (8 * i);
  off += sizeof(T);
  if constexpr (sizeof(T) == 8 && std::is_floating_point_v<T>) {
    T value;
    std::memcpy(&value, &bits, 8);
    return value;
  } else {
    return static_cast<T>(bits);
  }
}

std::string Cost(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", value);
  return buf;
}

}  // namespace

std::array<uint8_t, StatRecord::kFileSize> StatRecord::Encode() const {
  std::array<uint8_t, kFileSize> out{};
  size_t off = 0;
  Put(out.data(), off, day_seconds);
  Put(out.data(), off, week_seconds);
  Put(out.data(), off, month_seconds);
  Put(out.data(), off, total_seconds);
  Put(out.data(), off, day);
  Put(out.data(), off, week);
  Put(out.data(), off, month);
  Put(out.data(), off, connection_seconds);
  Put(out.data(), off, day_cost);
  Put(out.data(), off, week_cost);
  Put(out.data(), off, month_cost);
  Put(out.data(), off, total_cost);
  return out;
}

std::optional<StatRecord> StatRecord::Decode(const std::string& bytes) {
  if (bytes.size() < kFileSize) return std::nullopt;
  const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
  StatRecord r;
  size_t off = 0;
  r.day_seconds = Get<uint32_t>(in, off);
  r.week_seconds = Get<uint32_t>(in, off);
  r.month_seconds = Get<uint32_t>(in, off);
  r.total_seconds = Get<uint32_t>(in, off);
  r.day = Get<uint16_t>(in, off);
  r.week = Get<uint16_t>(in, off);
  r.month = Get<uint16_t>(in, off);
  r.connection_seconds = Get<uint32_t>(in, off);
  r.day_cost = Get<double>(in, off);
  r.week_cost = Get<double>(in, off);
  r.month_cost = Get<double>(in, off);
  r.total_cost = Get<double>(in, off);
  return r;
}

std::string StatisticsReport(const std::string& connection, const StatRecord& r,
                             const TimeLimits& limits, const std::string& closing_message) {
  auto dur = [](int64_t v) { return FormatDuration(static_cast<uint32_t>(v)); };
  std::string out;
  out += "Connection  : " + connection + "\r\n\n";
  out += "Last times  : " + dur(r.connection_seconds) + "  All times: " + dur(r.total_seconds) +
         "    Cost all: " + Cost(r.total_cost) + "\r\n\n";
  out += "Day times   : " + dur(r.day_seconds) + "      Limit: " + dur(limits.day) +
         "    Cost day: " + Cost(r.day_cost) + "\n";
  out += "Week times  : " + dur(r.week_seconds) + "      Limit: " + dur(limits.week) +
         "   Cost week: " + Cost(r.week_cost) + "\n";
  out += "Month times : " + dur(r.month_seconds) + "      Limit: " + dur(limits.month) +
         "  Cost month: " + Cost(r.month_cost) + "\n";
  out += "\r\n\r\n\n";
  if (!closing_message.empty()) out += closing_message + "\r\n\r\n\n";
  return out;
}

}  // namespace netrove
