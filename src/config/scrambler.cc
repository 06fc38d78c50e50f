#include "config/scrambler.h"

#include <cstring>
#include <vector>

#include "runtime/program.h"
#include "runtime/text.h"

namespace netrove {

void Scrambler::Scramble(std::span<uint8_t> bytes) {
  for (uint8_t& b : bytes) {
    b = static_cast<uint8_t>(b ^ ((k_ >> 8) & 0xFF));
    k_ = (k_ + b) * multiplier_ + addend_;
  }
}

void Scrambler::Unscramble(std::span<uint8_t> bytes) {
  for (uint8_t& b : bytes) {
    uint8_t s = b;
    b = static_cast<uint8_t>(s ^ ((k_ >> 8) & 0xFF));
    k_ = (k_ + s) * multiplier_ + addend_;
  }
}

void ScrambleBytes(std::span<uint8_t> bytes, uint32_t start, uint32_t multiplier, uint32_t addend) {
  Scrambler(start, multiplier, addend).Scramble(bytes);
}

void UnscrambleBytes(std::span<uint8_t> bytes, uint32_t start, uint32_t multiplier,
                     uint32_t addend) {
  Scrambler(start, multiplier, addend).Unscramble(bytes);
}

uint32_t NameFactor(const std::string& name) {
  uint32_t first = name.empty() ? 0 : static_cast<uint8_t>(name[0]);
  return (static_cast<uint32_t>(name.size()) + 256 * first) & 0xFFFF;
}

uint32_t VolumeKey(Env& env) {
  std::optional<DiskSpace> disk = env.DiskSpaceOf(ProgramDirectory());
  return disk ? static_cast<uint32_t>(disk->file_system_id & 0xFFFFFFFFu) : 0;
}

std::string ScramblePasswordText(const std::string& entry_name, const std::string& user,
                                 const std::string& password, uint32_t key) {
  std::vector<uint8_t> bytes(
      password.begin(),
      password.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(password.size(), 255)));
  ScrambleBytes(bytes, key, NameFactor(entry_name), NameFactor(user));
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * bytes.size() + 2);
  auto put = [&](uint8_t b) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  };
  put(static_cast<uint8_t>(bytes.size()));
  for (uint8_t b : bytes) put(b);
  if (text[0] == '0') text.erase(0, 1);
  return text;
}

std::string ScramblePassword(const std::string& entry_name, const std::string& user,
                             const std::string& password, uint32_t key) {
  return "$" + ScramblePasswordText(entry_name, user, password, key);
}

std::string DecodePasswordWithKey(const std::string& value, const std::string& entry_name,
                                  const std::string& user, uint32_t volume_key) {
  if (!value.empty() && value[0] == '*') return value.substr(1);
  std::string hex = value;
  uint32_t key = kFixedPasswordKey;
  if (!hex.empty() && hex[0] == '$') {
    hex.erase(0, 1);
    key = volume_key;
  }
  if (hex.size() % 2 == 1) hex.insert(hex.begin(), '0');
  std::vector<uint8_t> bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    int hi = HexDigitValue(hex[i]), lo = HexDigitValue(hex[i + 1]);
    bytes.push_back(hi < 0 || lo < 0 ? 0 : static_cast<uint8_t>(hi * 16 + lo));
  }
  if (bytes.empty()) return "";
  size_t n = std::min<size_t>(bytes[0], bytes.size() - 1);
  std::span<uint8_t> scrambled(bytes.data() + 1, n);
  UnscrambleBytes(scrambled, key, NameFactor(entry_name), NameFactor(user));
  return std::string(scrambled.begin(), scrambled.end());
}

}  // namespace netrove
