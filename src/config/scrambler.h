// The byte scrambler and the password texts of netrove.dat.
//
// The scrambler is a byte stream cipher with a 32-bit state k and three
// constants: start, multiplier and addend. k := start; for each byte the
// output is the input XOR bits 8..15 of k, then k := (k + c) * multiplier +
// addend (mod 2^32) where c is the scrambled byte. It hides texts from a
// casual look; it is no protection against anyone who has the program.
//
// Everything here is pure and thread-safe except VolumeKey (reads the file
// system through the Env) which is thread-safe too. Nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "runtime/env.h"

namespace netrove {

// The key of passwords written without "$" (not bound to a file system).
inline constexpr uint32_t kFixedPasswordKey = 0x4E52D7A1;

// One scrambling stream; successive calls continue the same stream.
class Scrambler {
 public:
  Scrambler(uint32_t start, uint32_t multiplier, uint32_t addend)
      : k_(start), multiplier_(multiplier), addend_(addend) {}
  void Scramble(std::span<uint8_t> bytes);
  void Unscramble(std::span<uint8_t> bytes);

 private:
  uint32_t k_;
  uint32_t multiplier_;
  uint32_t addend_;
};

// In place, on a whole buffer, from the start state.
void ScrambleBytes(std::span<uint8_t> bytes, uint32_t start, uint32_t multiplier, uint32_t addend);
void UnscrambleBytes(std::span<uint8_t> bytes, uint32_t start, uint32_t multiplier,
                     uint32_t addend);

// The 16-bit multiplier/addend of a name: its length + 256 * its first byte
// (0 for an empty name), modulo 2^16.
uint32_t NameFactor(const std::string& name);

// A stable number of the file system holding the program directory (it
// stands for the volume serial number): the low 32 bits of its id, or 0
// when that cannot be read.
uint32_t VolumeKey(Env& env);

// The PASSWORD value ADD writes: "$" + the hex text scrambled with `key`
// (VolumeKey). Passwords longer than 255 bytes are cut to 255.
std::string ScramblePassword(const std::string& entry_name, const std::string& user,
                             const std::string& password, uint32_t key);
// The hex text alone (no "$"), scrambled with `key`: the length byte and
// the scrambled bytes as upper-case hex, one leading "0" dropped.
std::string ScramblePasswordText(const std::string& entry_name, const std::string& user,
                                 const std::string& password, uint32_t key);

// A PASSWORD value as the dialer uses it: "*" + plain text gives the plain
// text; "$" + hex is decoded with `volume_key` (VolumeKey); plain hex with
// kFixedPasswordKey. Malformed hex pairs read as 0; a length byte beyond
// the data decodes what is there. Never fails.
std::string DecodePasswordWithKey(const std::string& value, const std::string& entry_name,
                                  const std::string& user, uint32_t volume_key);

}  // namespace netrove
