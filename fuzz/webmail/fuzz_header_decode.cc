// Header decoding on any bytes: the result is trimmed and at most 255
// bytes, text without an encoded word is only trimmed and cut, and the
// fields a header fills stay within the limit; the meta element of the
// Content-Type value brings no markup of its own.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "webmail/message_render.h"

namespace {

bool Trimmed(const std::string& text) {
  return text.empty() ||
         (text.front() != ' ' && text.front() != '\t' && text.back() != ' ' && text.back() != '\t');
}

size_t Count(std::string_view text, char c) {
  size_t n = 0;
  for (char x : text) n += x == c;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string text = netrove::DecodeHeaderText(input);
  if (text.size() > netrove::kHeaderTextLimit || !Trimmed(text)) __builtin_trap();
  if (input.find("=?") == std::string_view::npos && input.find(text) == std::string_view::npos)
    __builtin_trap();

  netrove::MessageHeaderInfo info;
  for (size_t start = 0; start <= input.size();) {
    size_t end = input.find('\n', start);
    netrove::ApplyHeaderLine(input.substr(start, end - start), info);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  for (const std::string* field : {&info.subject, &info.from, &info.reply, &info.content_type})
    if (field->size() > netrove::kHeaderTextLimit || !Trimmed(*field)) __builtin_trap();
  const std::string meta = netrove::ContentTypeMeta(info.content_type);
  if (!meta.empty() && (Count(meta, '<') != 1 || Count(meta, '>') != 1 || Count(meta, '"') != 4))
    __builtin_trap();
  return 0;
}
