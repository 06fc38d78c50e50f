// An ordered list of short texts (at most 255 characters each, longer ones
// are cut), numbered from 1. Not thread-safe: one owner at a time.
#pragma once

#include <string>
#include <vector>

namespace netrove {

inline constexpr size_t kTextLimit = 255;

class TextList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  // Item `index` (1-based), "" when out of range.
  std::string Get(int index) const;
  // Out-of-range indexes are ignored.
  void Put(int index, const std::string& text);
  void Add(const std::string& text);
  void Delete(int index);
  void Clear() { items_.clear(); }
  const std::vector<std::string>& items() const { return items_; }

 private:
  std::vector<std::string> items_;
};

}  // namespace netrove
