// The SOCKS request reader on any bytes: it reads only its input (the copy
// is exactly as long, so a read past it is caught by the sanitizer), takes
// only a well-formed request, and reads the same request from any longer
// input that starts with it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gates/socks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using netrove::SocksRead;
  std::vector<uint8_t> bytes(data, data + size);
  const SocksRead r = netrove::ReadSocksRequest(bytes);
  if (r.state == SocksRead::kMore && (r.count == 0 || r.count > 8)) abort();
  if (r.state != SocksRead::kComplete) return 0;
  const netrove::SocksRequest& q = r.request;
  if (r.count < 9 || r.count > size || r.count > 8 + netrove::kMaxSocksUserId + 1) abort();
  if (q.version != 4 && q.version != 5) abort();
  if (q.command != netrove::kSocksConnect && q.command != netrove::kSocksBind) abort();
  if (q.port == 0 || q.address == 0xFFFFFFFFu) abort();
  if (bytes[r.count - 1] != 0 || std::memchr(bytes.data() + 8, 0, r.count - 9) != nullptr) abort();
  // Exactly the request's bytes read the same.
  const std::vector<uint8_t> exact(bytes.begin(), bytes.begin() + static_cast<long>(r.count));
  const SocksRead again = netrove::ReadSocksRequest(exact);
  if (again.state != SocksRead::kComplete || again.count != r.count ||
      std::memcmp(&again.request, &q, sizeof q) != 0)
    abort();
  return 0;
}
