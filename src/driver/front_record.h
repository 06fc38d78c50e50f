// The front-end's byte records: texts, chains of text nodes, the settings
// record. A chain's further nodes live in a ChainArena and are named by a
// 32-bit handle (a record field cannot hold a pointer).
//
// The arena is thread-safe; the conversions are pure functions.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/front_settings.h"
#include "netrove/netrove.h"

namespace netrove {

// At most this many nodes are out at once; an append past it ends the
// chain there.
inline constexpr size_t kMaxChainNodes = 65536;

class ChainArena {
 public:
  explicit ChainArena(size_t max_nodes = kMaxChainNodes) : max_nodes_(max_nodes) {}
  ChainArena(const ChainArena&) = delete;
  ChainArena& operator=(const ChainArena&) = delete;

  // Fills the chain from `head` with the non-empty entries (each cut to 255
  // characters); `head->next` is overwritten. Returns the entries stored.
  size_t Fill(TextChain* head, const std::vector<std::string>& entries);
  // The texts of the chain from `head`, at most `limit`; a handle that is
  // not in use ends it.
  std::vector<std::string> Read(const TextChain* head, size_t limit = kMaxChainNodes) const;
  // The node of a handle, or null. Valid until it is freed.
  const TextChain* Node(uint32_t handle) const;
  // Frees the nodes after `head` (up to an unknown handle) and zeroes its
  // next field.
  void Free(TextChain* head);
  size_t NodesInUse() const;

 private:
  uint32_t Allocate();  // 0 when full; mu_ held

  const size_t max_nodes_;
  mutable std::mutex mu_;
  std::vector<std::unique_ptr<TextChain>> nodes_;  // guarded by mu_; index = handle - 1
  std::vector<uint32_t> free_;                     // guarded by mu_
};

// Length-prefixed texts.
std::string FromText(const unsigned char* text);
void ToText(const std::string& value, unsigned char* text);

// The record from settings (chains into `arena`), and back.
void PackSettings(const FrontSettings& s, ChainArena& arena, FrontEndSettings* out);
FrontSettings UnpackSettings(const FrontEndSettings& in, const ChainArena& arena);

}  // namespace netrove
