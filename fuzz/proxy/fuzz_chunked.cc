// The chunk framing of the relay: fed whole and byte by byte it must agree,
// never ask for more than a chunk's size, and stay in its end state.
#include <cstddef>
#include <cstdint>

#include "proxy/chunked.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  netrove::ChunkedFramer whole, bytes;
  auto all = whole.Feed(text, size);
  auto last = netrove::ChunkedFramer::Result::kMore;
  for (size_t i = 0; i < size && last == netrove::ChunkedFramer::Result::kMore; ++i) {
    if (bytes.DataWanted() > netrove::kMaxChunkSize) __builtin_trap();
    last = bytes.Feed(text + i, 1);
  }
  if (all != last) __builtin_trap();
  if (all != netrove::ChunkedFramer::Result::kMore && whole.Feed("0\r\n\r\n", 5) != all)
    __builtin_trap();
  return 0;
}
