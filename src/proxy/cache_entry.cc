#include "proxy/cache_entry.h"

#include "proxy/cache_codec.h"
#include "proxy/skip_urls.h"

namespace netrove {
namespace {

void PutLittleEndian(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint32_t GetLittleEndian(std::string_view in, size_t offset, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i)
    value |= static_cast<uint32_t>(static_cast<uint8_t>(in[offset + i])) << (8 * i);
  return value;
}

// A temporary name beside the entry that no entry can have: cache file
// names never hold "?" (CachePathFor turns it into "!").
std::string TempNameIn(const std::string& dir) {
  return (dir.empty() ? "" : dir + "/") + "?" + UniqueTemporarySuffix();
}

}  // namespace

std::string EncodeEntryHeader(const CacheEntryHeader& header) {
  std::string out;
  PutLittleEndian(out, header.state, 2);
  PutLittleEndian(out, header.header_length, 2);
  PutLittleEndian(out, header.validator, 4);
  PutLittleEndian(out, header.request_length, 4);
  PutLittleEndian(out, header.html, 1);
  return out;
}

std::optional<CacheEntryHeader> DecodeEntryHeader(std::string_view bytes) {
  if (bytes.size() < kCacheEntryHeaderSize) return std::nullopt;
  CacheEntryHeader header;
  header.state = static_cast<uint16_t>(GetLittleEndian(bytes, 0, 2));
  header.header_length = static_cast<uint16_t>(GetLittleEndian(bytes, 2, 2));
  header.validator = GetLittleEndian(bytes, 4, 4);
  header.request_length = GetLittleEndian(bytes, 8, 4);
  header.html = static_cast<uint8_t>(GetLittleEndian(bytes, 12, 1));
  return header;
}

bool MakeDirectoryTree(Env& env, const std::string& dir) {
  for (size_t slash = dir.find('/', 1); slash != std::string::npos;
       slash = dir.find('/', slash + 1))
    (void)env.MakeDirectory(dir.substr(0, slash), 0755);
  return env.MakeDirectory(dir, 0755);
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::optional<OpenEntry> OpenCacheEntry(Env& env, const std::string& path) {
  std::unique_ptr<ReadableFile> file = env.OpenForReading(path);
  if (!file) return std::nullopt;
  char bytes[kCacheEntryHeaderSize];
  if (!ReadFully(*file, bytes, sizeof bytes)) return std::nullopt;
  std::optional<CacheEntryHeader> header = DecodeEntryHeader(std::string_view(bytes, sizeof bytes));
  if (!header || header->state != kEntryComplete) return std::nullopt;
  const uint64_t size = file->Info().size;
  return OpenEntry{std::move(file), *header, size};
}

CacheEntryWriter::CacheEntryWriter(Env& env, std::string path, std::string temp_path,
                                   std::unique_ptr<WritableFile> file)
    : env_(env), path_(std::move(path)), temp_path_(std::move(temp_path)), file_(std::move(file)) {}

CacheEntryWriter::~CacheEntryWriter() {
  if (file_) Discard();
}

bool CacheEntryWriter::AppendBody(std::string_view block) {
  if (failed_ || !file_->Append(block)) {
    failed_ = true;
    return false;
  }
  body_bytes_ += block.size();
  return true;
}

void CacheEntryWriter::Discard() {
  (void)file_->Close();
  file_.reset();
  (void)env_.RemoveFile(temp_path_);
  // The host directory goes with its last entry (it stays when not empty).
  if (std::string dir = DirectoryOf(path_); !dir.empty()) (void)env_.RemoveDirectory(dir);
}

std::unique_ptr<CacheEntryWriter> CreateCacheEntry(Env& env, const std::string& path,
                                                   uint32_t validator, bool html,
                                                   std::string_view request_text,
                                                   std::string_view response_header) {
  if (request_text.size() > UINT32_MAX) return nullptr;
  const std::string dir = DirectoryOf(path);
  std::string temp;
  std::unique_ptr<WritableFile> file;
  // kCreateOnly: a name another writer holds is never shared; a missing
  // directory is made once.
  for (int attempt = 0; attempt < 4 && !file; ++attempt) {
    temp = TempNameIn(dir);
    file = env.OpenForWriting(temp, Env::OpenMode::kCreateOnly, 0644);
    if (!file && attempt == 0 && !dir.empty()) (void)MakeDirectoryTree(env, dir);
  }
  if (!file) return nullptr;
  std::unique_ptr<CacheEntryWriter> entry(
      new CacheEntryWriter(env, path, std::move(temp), std::move(file)));

  CacheEntryHeader header;
  header.state = kEntryWriting;
  header.header_length = static_cast<uint16_t>(response_header.size() & 0xFFFF);
  header.validator = validator;
  header.request_length = static_cast<uint32_t>(request_text.size());
  header.html = html ? 1 : 0;
  std::string scrambled(request_text);
  ScrambleBytes(scrambled.data(), scrambled.size());
  if (!entry->file_->Append(EncodeEntryHeader(header) + scrambled) ||
      !entry->file_->Append(response_header))
    return nullptr;  // the writer discards the temporary file
  return entry;
}

bool FinishCacheEntry(std::unique_ptr<CacheEntryWriter> entry,
                      std::optional<uint64_t> announced_length, bool relay_failed, bool is_private,
                      SkipUrlList& skip) {
  if (!entry || !entry->file_) return false;
  const bool complete = !relay_failed && !entry->failed_ &&
                        (!announced_length || entry->body_bytes_ == *announced_length);
  if (!complete) {
    entry->Discard();
    return false;
  }
  std::string state;
  PutLittleEndian(state, kEntryComplete, 2);
  const bool written = entry->file_->WriteAt(0, state) && entry->file_->Close();
  entry->file_.reset();
  if (!written || !entry->env_.Rename(entry->temp_path_, entry->path_)) {
    (void)entry->env_.RemoveFile(entry->temp_path_);
    return false;
  }
  if (!is_private) skip.Add(entry->path_);
  return true;
}

}  // namespace netrove
