#include "net/text_list.h"

namespace netrove {
namespace {
std::string Cut(const std::string& text) { return text.substr(0, kTextLimit); }
}  // namespace

std::string TextList::Get(int index) const {
  if (index < 1 || index > Count()) return "";
  return items_[static_cast<size_t>(index - 1)];
}

void TextList::Put(int index, const std::string& text) {
  if (index < 1 || index > Count()) return;
  items_[static_cast<size_t>(index - 1)] = Cut(text);
}

void TextList::Add(const std::string& text) { items_.push_back(Cut(text)); }

void TextList::Delete(int index) {
  if (index < 1 || index > Count()) return;
  items_.erase(items_.begin() + (index - 1));
}

}  // namespace netrove
