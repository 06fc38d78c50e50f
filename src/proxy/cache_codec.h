// The small codecs of the proxy cache: CRC-32, the validator that tells
// whether a stored object is still the one the origin has, and the
// scrambler that keeps stored requests (credentials, cookies) from being
// plain text on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace netrove {

// The standard reflected CRC-32 (polynomial 0xEDB88320, initial value all
// ones, final inversion). `crc` continues an earlier result.
uint32_t Crc32(std::string_view data, uint32_t crc = 0);

// CRC-32 of the response header's "Last-Modified:" line followed by its
// "Content-Length:" line (each from its name to before its LF, CR
// included, at most 255 characters; names in any case). Nullopt when the
// header has neither.
std::optional<uint32_t> ComputeValidator(std::string_view header_text);

// A byte stream scrambler (state fed back from the scrambled bytes); one
// undoes the other. Fixed constants: entries written with others are
// simply not reusable.
void ScrambleBytes(char* buffer, size_t length);
void UnscrambleBytes(char* buffer, size_t length);

}  // namespace netrove
