// Framing of a chunked response body (RFC 9112 section 7.1) as the relay
// passes it on unchanged: the parser only follows the chunk sizes, so that
// the relay knows where the body ends and refuses a stream it cannot frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace netrove {

// The largest chunk the relay accepts (a bigger size ends the request).
inline constexpr uint64_t kMaxChunkSize = 0x7fffffff;

class ChunkedFramer {
 public:
  enum class Result { kMore, kDone, kError };

  // Takes the next bytes of the body. kDone once the last chunk and the
  // trailer section have ended (bytes after that are not looked at);
  // kError, from then on, for a stream that breaks the framing or its
  // bounds.
  Result Feed(const char* data, size_t length);

  // Bytes of chunk data that may be read at once; 0 while framing is
  // expected, when the relay reads one byte at a time so as not to read
  // past the end of the body.
  uint64_t DataWanted() const { return state_ == State::kData ? data_left_ : 0; }

 private:
  enum class State {
    kSize,
    kExtension,
    kSizeEnd,
    kData,
    kDataCr,
    kDataLf,
    kTrailerStart,
    kTrailerLine,
    kFinalLf,
    kDone,
    kError
  };
  // The bounds on framing text: digits of a size (leading zeros counted),
  // one extension, and the trailer section.
  static constexpr size_t kMaxSizeDigits = 16;
  static constexpr size_t kMaxExtension = 1024;
  static constexpr size_t kMaxTrailer = 65000;

  State Step(char c);
  State EndOfSizeLine();

  State state_ = State::kSize;
  uint64_t size_ = 0;
  size_t digits_ = 0;
  size_t extension_ = 0;
  size_t trailer_ = 0;
  uint64_t data_left_ = 0;
};

}  // namespace netrove
