// Cache entry files. One file per URL: a 13-byte little-endian header,
// the stored request (scrambled), the response header as the client got
// it, then the body.
//
// An entry is written to a temporary file in its directory and renamed
// over its name only when complete (FinishCacheEntry), so two clients
// fetching one URL never interleave their writes, a client reading the
// old entry keeps reading it whole, and OpenCacheEntry only ever meets
// complete entries. Failures are results; nothing throws.
//
// Thread safety: the functions may be called from any task; one
// CacheEntryWriter belongs to one task.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/env.h"

namespace netrove {

class SkipUrlList;

inline constexpr uint16_t kEntryWriting = 18;
inline constexpr uint16_t kEntryComplete = 17;
inline constexpr size_t kCacheEntryHeaderSize = 13;

struct CacheEntryHeader {
  uint16_t state = kEntryWriting;
  uint16_t header_length = 0;  // stored response header length, low 16 bits
  uint32_t validator = 0;      // ComputeValidator of the response header; 0: none
  uint32_t request_length = 0;
  uint8_t html = 0;  // 1: always confirmed with the origin before use
  bool operator==(const CacheEntryHeader&) const = default;
};

std::string EncodeEntryHeader(const CacheEntryHeader& header);
// Nullopt when fewer than kCacheEntryHeaderSize bytes are given.
std::optional<CacheEntryHeader> DecodeEntryHeader(std::string_view bytes);

// A complete entry open for reading, positioned after its header (at the
// stored request).
struct OpenEntry {
  std::unique_ptr<ReadableFile> file;
  CacheEntryHeader header;
  uint64_t size = 0;  // of the whole file
};
// Nullopt when the file cannot be opened, its header is short or it is
// not complete (state 17).
std::optional<OpenEntry> OpenCacheEntry(Env& env, const std::string& path);

// An entry being written. Destroying an unfinished writer discards it
// (its temporary file is removed).
class CacheEntryWriter {
 public:
  ~CacheEntryWriter();
  CacheEntryWriter(const CacheEntryWriter&) = delete;
  CacheEntryWriter& operator=(const CacheEntryWriter&) = delete;

  // Appends body bytes; false (and the entry will be discarded) when the
  // write fails.
  [[nodiscard]] bool AppendBody(std::string_view block);
  uint64_t body_bytes() const { return body_bytes_; }
  const std::string& path() const { return path_; }
  const std::string& temp_path() const { return temp_path_; }

 private:
  friend std::unique_ptr<CacheEntryWriter> CreateCacheEntry(Env&, const std::string&, uint32_t,
                                                            bool, std::string_view,
                                                            std::string_view);
  friend bool FinishCacheEntry(std::unique_ptr<CacheEntryWriter>, std::optional<uint64_t>, bool,
                               bool, SkipUrlList&);
  CacheEntryWriter(Env& env, std::string path, std::string temp_path,
                   std::unique_ptr<WritableFile> file);
  void Discard();

  Env& env_;
  std::string path_;
  std::string temp_path_;
  std::unique_ptr<WritableFile> file_;
  uint64_t body_bytes_ = 0;
  bool failed_ = false;
};

// Starts the entry for `path`: a temporary file beside it (the directory
// tree is made when missing) holding the header in state 18, the
// scrambled `request_text` and `response_header`. Null on any failure.
std::unique_ptr<CacheEntryWriter> CreateCacheEntry(Env& env, const std::string& path,
                                                   uint32_t validator, bool html,
                                                   std::string_view request_text,
                                                   std::string_view response_header);

// Completes the entry (state 17, renamed over its path) unless the relay
// ended on an error (`relay_failed`), a write failed, or the body bytes
// differ from `announced_length` (the body the relay set out to copy: the
// Content-Length, 0 for a redirect whose body is not relayed; nullopt when
// unknown); otherwise it is discarded and its directory removed when
// empty. A completed entry enters `skip` unless `is_private`. True when
// the entry was completed.
bool FinishCacheEntry(std::unique_ptr<CacheEntryWriter> entry,
                      std::optional<uint64_t> announced_length, bool relay_failed, bool is_private,
                      SkipUrlList& skip);

// Makes every directory of `dir` ("a/b/c"); false when the last is missing.
bool MakeDirectoryTree(Env& env, const std::string& dir);

// The directory part of a cache path ("" when it has none).
std::string DirectoryOf(const std::string& path);

}  // namespace netrove
