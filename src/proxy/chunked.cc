// The chunk-size parser behind the relay's chunked bodies.
#include "proxy/chunked.h"

#include <algorithm>

#include "runtime/text.h"

namespace netrove {
ChunkedFramer::Result ChunkedFramer::Feed(const char* data, size_t length) {
  for (size_t i = 0; i < length && state_ != State::kDone && state_ != State::kError;) {
    if (state_ == State::kData) {
      uint64_t take = std::min<uint64_t>(data_left_, length - i);
      data_left_ -= take;
      i += take;
      if (data_left_ == 0) state_ = State::kDataCr;
      continue;
    }
    state_ = Step(data[i++]);
  }
  if (state_ == State::kDone) return Result::kDone;
  return state_ == State::kError ? Result::kError : Result::kMore;
}

ChunkedFramer::State ChunkedFramer::EndOfSizeLine() {
  if (digits_ == 0) return State::kError;
  data_left_ = size_;
  size_ = 0;
  digits_ = 0;
  extension_ = 0;
  return data_left_ == 0 ? State::kTrailerStart : State::kData;
}

ChunkedFramer::State ChunkedFramer::Step(char c) {
  switch (state_) {
    case State::kSize: {
      int v = HexDigitValue(c);
      if (v >= 0) {
        size_ = size_ * 16 + static_cast<uint64_t>(v);
        if (++digits_ > kMaxSizeDigits || size_ > kMaxChunkSize) return State::kError;
        return State::kSize;
      }
      if (c == '\r') return digits_ ? State::kSizeEnd : State::kError;
      if (c == '\n') return EndOfSizeLine();
      if (c == ';' || c == ' ' || c == '\t') return digits_ ? State::kExtension : State::kError;
      return State::kError;
    }
    case State::kExtension:
      if (c == '\r') return State::kSizeEnd;
      if (c == '\n') return EndOfSizeLine();
      return ++extension_ > kMaxExtension ? State::kError : State::kExtension;
    case State::kSizeEnd:
      return c == '\n' ? EndOfSizeLine() : State::kError;
    case State::kDataCr:
      if (c == '\r') return State::kDataLf;
      return c == '\n' ? State::kSize : State::kError;
    case State::kDataLf:
      return c == '\n' ? State::kSize : State::kError;
    case State::kTrailerStart:
      if (c == '\r') return State::kFinalLf;
      if (c == '\n') return State::kDone;
      [[fallthrough]];
    case State::kTrailerLine:
      if (++trailer_ > kMaxTrailer) return State::kError;
      return c == '\n' ? State::kTrailerStart : State::kTrailerLine;
    case State::kFinalLf:
      return c == '\n' ? State::kDone : State::kError;
    case State::kData:  // handled by Feed
    case State::kDone:
    case State::kError:
      break;
  }
  return state_;
}

}  // namespace netrove
