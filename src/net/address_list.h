// Address list files: one entry per line, ";" starts a comment, tabs
// become spaces, runs of spaces one space, lines trimmed, empty lines
// skipped. Loaded at service start with `drop_marked` set, which removes
// lines beginning with "#" and rewrites the file in normalised form.
// Reloaded lazily by the access checks: at most every 30 seconds the file
// is looked at, and read again only when it changed.
//
// Thread safety: an AddressList may be loaded and read from any task. A
// reload builds a fresh contents object and replaces the old one whole;
// readers keep the snapshot they took.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/file_stamp.h"
#include "runtime/env.h"
#include "runtime/log.h"

namespace netrove {

inline constexpr uint32_t kListCheckAhead = 60;   // next check = load time + 60 s
inline constexpr uint32_t kListCheckMargin = 30;  // checked when less than 30 s remain
inline constexpr size_t kListFileLimit = 1u << 20;

// The normalised entries of a list file's text.
struct ParsedList {
  std::vector<std::string> entries;
  bool had_marked = false;
};
ParsedList ParseListText(const std::string& text, bool drop_marked);

class AddressList {
 public:
  struct Contents {
    std::string file_name;  // "" = never loaded
    FileStamp stamp;
    uint32_t next_check = 0;  // NowSeconds() value; 0 after a rewrite
    bool readable = false;
    std::vector<std::string> entries;
  };

  AddressList() : contents_(std::make_shared<const Contents>()) {}
  AddressList(const AddressList&) = delete;
  AddressList& operator=(const AddressList&) = delete;

  std::shared_ptr<const Contents> Snapshot() const;
  void Replace(std::shared_ptr<const Contents> contents);

 private:
  mutable std::mutex mu_;
  std::shared_ptr<const Contents> contents_;  // guarded by mu_
};

// Loads (or lazily reloads) `file_name` into `list` through `env`, whose
// clock decides when the file is looked at again; in a list of address
// patterns, a pattern that admits nobody is warned about in `log` (files
// of another form, such as proxy users, pass `address_patterns` false).
// True when the file could be read (the list may still have no entries).
bool LoadAddressList(Env& env, Log& log, const std::string& file_name, AddressList& list,
                     bool drop_marked, bool address_patterns = true);
// Lazy reload from the list's own file name; false when never loaded.
bool ReloadAddressList(Env& env, Log& log, AddressList& list);

}  // namespace netrove
