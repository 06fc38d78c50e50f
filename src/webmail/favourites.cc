#include "webmail/favourites.h"

#include <algorithm>

#include "mail/mail_names.h"
#include "proxy/replies.h"

namespace netrove {

namespace {

constexpr mode_t kFileMode = 0600;  // a user's own data
// A mailbox directory holds up to 65535 messages besides its groups.
constexpr size_t kDirectoryListLimit = 1 << 18;

std::string Field(std::string_view text) {
  std::string field(text.substr(0, kFavouriteFieldSize));
  field.resize(kFavouriteFieldSize, '\0');
  return static_cast<char>(std::min(text.size(), kFavouriteFieldSize)) + field;
}

std::string ReadField(std::string_view record, size_t at) {
  const size_t length =
      std::min<size_t>(static_cast<unsigned char>(record[at]), kFavouriteFieldSize);
  return std::string(record.substr(at + 1, length));
}

}  // namespace

Favourite DefaultFavourite() { return {"Netrove web mail", std::string(kProductHomePage)}; }

std::string EncodeFavourite(const Favourite& record) {
  return Field(record.title) + Field(record.address);
}

Favourite DecodeFavourite(std::string_view record) {
  std::string bytes(record.substr(0, kFavouriteRecordSize));
  bytes.resize(kFavouriteRecordSize, '\0');
  return {ReadField(bytes, 0), ReadField(bytes, kFavouriteFieldSize + 1)};
}

bool FavouritesFile::Open() {
  records_.clear();
  std::optional<std::string> data = env_.ReadFile(path_, kMaxFavourites * kFavouriteRecordSize);
  // A file that is there but cannot be read (a directory, no permission)
  // is not replaced.
  if (!data && env_.Stat(path_)) return false;
  const size_t count = data ? data->size() / kFavouriteRecordSize : 0;
  for (size_t i = 0; i < count; ++i)
    records_.push_back(DecodeFavourite(std::string_view(*data).substr(i * kFavouriteRecordSize)));
  if (!records_.empty()) return true;
  records_.push_back(DefaultFavourite());
  if (Write()) return true;
  records_.clear();
  return false;
}

std::optional<Favourite> FavouritesFile::Get(size_t number) const {
  if (number < 1 || number > records_.size()) return std::nullopt;
  return records_[number - 1];
}

// Both changes start from the file as it is now (another request may have
// changed it since Open) and leave the records as they were when the file
// cannot be written.
bool FavouritesFile::Add(const Favourite& record) {
  Favourite added{record.title.substr(0, kFavouriteFieldSize),
                  record.address.substr(0, kFavouriteFieldSize)};
  if (added.address.empty() || !Open()) return false;
  const std::vector<Favourite> old = records_;
  auto same = std::find_if(records_.begin(), records_.end(),
                           [&](const Favourite& f) { return f.address == added.address; });
  if (same != records_.end()) {
    *same = std::move(added);
  } else if (records_.size() < kMaxFavourites) {
    records_.push_back(std::move(added));
  } else {
    return false;
  }
  if (Write()) return true;
  records_ = old;
  return false;
}

bool FavouritesFile::Delete(const std::vector<uint32_t>& numbers) {
  if (!Open()) return false;
  const std::vector<Favourite> old = records_;
  for (uint32_t n : numbers)
    if (n >= 1 && n <= records_.size()) records_[n - 1].address.clear();
  std::erase_if(records_, [](const Favourite& f) { return f.address.empty(); });
  if (Write()) return true;
  records_ = old;
  return false;
}

bool FavouritesFile::Write() {
  std::string data;
  data.reserve(records_.size() * kFavouriteRecordSize);
  for (const Favourite& f : records_) data += EncodeFavourite(f);
  return WriteFileAtomically(env_, path_, data, kFileMode, /*keep_mode=*/false);
}

std::vector<std::string> FavouriteGroups(Env& env, const std::string& user_dir, size_t limit) {
  std::vector<std::string> groups;
  for (const std::string& name : env.ListDirectory(user_dir, kDirectoryListLimit)) {
    const std::string group = name.substr(0, name.find('.'));
    if (HasExtension(name, kFavouritesExtension) && !group.empty()) groups.push_back(group);
  }
  std::sort(groups.begin(), groups.end());
  groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
  if (groups.size() > limit) groups.resize(limit);
  return groups;
}

}  // namespace netrove
