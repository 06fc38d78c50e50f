// The favourites of a mailbox user: one file per group ("<group>.fvr" in
// the user's mailbox directory) of fixed 202-byte records: the title
// length (0..100), 100 title bytes, the address length (0..100), 100
// address bytes. A record with an empty address is an empty record.
//
// A FavouritesFile holds the records of one file in memory; every change
// rewrites the whole file under a temporary name and renames it into
// place, so a crash never leaves half a file. Lengths above 100 in a
// damaged file are read as 100; a file is read up to kMaxFavourites
// records.
//
// Thread safety: one FavouritesFile per task; two requests on one group
// may overwrite each other's change (the last rename wins), never a file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/env.h"

namespace netrove {

inline constexpr size_t kFavouriteRecordSize = 202;
inline constexpr size_t kFavouriteFieldSize = 100;
inline constexpr size_t kMaxFavourites = 10000;
inline constexpr char kFavouritesExtension[] = "fvr";
inline constexpr char kDefaultFavouritesGroup[] = "Main";

struct Favourite {
  std::string title;    // at most 100 bytes
  std::string address;  // at most 100 bytes; "" for an empty record
  bool operator==(const Favourite&) const = default;
};

// The record a new favourites file starts with.
Favourite DefaultFavourite();

// 202 bytes; longer fields are cut to 100.
std::string EncodeFavourite(const Favourite& record);
// One record of 202 bytes (a shorter text is padded with zero bytes).
Favourite DecodeFavourite(std::string_view record);

class FavouritesFile {
 public:
  // `path` is the whole file name ("MailBox/ANN/Main.fvr").
  FavouritesFile(Env& env, std::string path) : env_(env), path_(std::move(path)) {}

  // Reads the file; a missing or empty file is created with the default
  // record. False when it can neither be read nor created (the list is
  // then empty).
  bool Open();
  size_t Count() const { return records_.size(); }
  // Record `number` (from 1); nullopt outside 1..Count().
  std::optional<Favourite> Get(size_t number) const;

  // Replaces the first record with the same address, or appends one;
  // writes the file. False when nothing was written.
  bool Add(const Favourite& record);
  // Empties the records of `numbers` (those outside 1..Count() are
  // ignored), keeps the others in order and writes the file.
  bool Delete(const std::vector<uint32_t>& numbers);

 private:
  bool Write();

  Env& env_;
  const std::string path_;
  std::vector<Favourite> records_;
};

// The groups of a user directory: the names of its ".fvr" files up to
// their first ".", sorted, at most `limit`.
std::vector<std::string> FavouriteGroups(Env& env, const std::string& user_dir,
                                         size_t limit = 1000);

}  // namespace netrove
