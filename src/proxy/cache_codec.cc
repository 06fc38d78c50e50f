#include "proxy/cache_codec.h"

#include <array>
#include <string>

#include "runtime/text.h"

namespace netrove {
namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

// Scrambler constants: start, multiplier, addend.
constexpr uint32_t kScrambleStart = 0x5A3C96E1u;
constexpr uint32_t kScrambleMultiplier = 0x0019660Du;
constexpr uint32_t kScrambleAddend = 0x3C6EF35Fu;

// The line of `key` (LF + upper-case name) in the upper-cased `upper`:
// from after the LF to before the next LF, at most 255 characters.
std::string_view HeaderPiece(std::string_view upper, std::string_view key) {
  size_t at = upper.find(key);
  if (at == std::string_view::npos) return {};
  std::string_view rest = upper.substr(at + 1);
  return rest.substr(0, std::min<size_t>(rest.find('\n'), 255));
}

template <bool kScrambling>
void Scramble(char* buffer, size_t length) {
  uint32_t k = kScrambleStart;
  for (size_t i = 0; i < length; ++i) {
    const auto in = static_cast<uint8_t>(buffer[i]);
    const auto out = static_cast<uint8_t>(in ^ ((k >> 8) & 0xFF));
    buffer[i] = static_cast<char>(out);
    k = (k + (kScrambling ? out : in)) * kScrambleMultiplier + kScrambleAddend;
  }
}

}  // namespace

uint32_t Crc32(std::string_view data, uint32_t crc) {
  crc = ~crc;
  for (unsigned char byte : data) crc = kCrcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::optional<uint32_t> ComputeValidator(std::string_view header_text) {
  const std::string upper = UpperAscii(header_text);
  std::string_view modified = HeaderPiece(upper, "\nLAST-MODIFIED:");
  std::string_view length = HeaderPiece(upper, "\nCONTENT-LENGTH:");
  if (modified.empty() && length.empty()) return std::nullopt;
  return Crc32(length, Crc32(modified));
}

void ScrambleBytes(char* buffer, size_t length) { Scramble<true>(buffer, length); }
void UnscrambleBytes(char* buffer, size_t length) { Scramble<false>(buffer, length); }

}  // namespace netrove
