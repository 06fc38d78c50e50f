// Names in the mail store: file numbers, the one-component names of
// mailboxes and folders, names found without regard to case, and the
// packed DOS date-time that the listings show.
//
// Pure functions but for FindNoCase; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/env.h"

namespace netrove {

inline constexpr uint32_t kMaxMessageNumber = 65535;

// The number of a file name: the part before the first ".", written as a
// canonical decimal 1..65535 (no sign, no leading zero). Nullopt for any
// other name, which every scan and every numbering ignores ("007.msg"
// would otherwise share number 7 with "7.msg").
std::optional<uint16_t> FileNumberOf(std::string_view name);
// True when `name` ends with "." + `extension`, in any case.
bool HasExtension(std::string_view name, std::string_view extension);

// A mailbox directory name (a user, or the directory of a USER line) as
// one path component: "/", "\" and bytes below 32 removed; "" when nothing
// is left or only dots are (".", ".."), which no caller may use.
std::string MailboxComponent(std::string_view name);
// A folder name of MAILBOX and MDELE: "/", "\", "." and blank removed, and
// bytes below 32; "" when nothing is left (the name is refused).
std::string FolderComponent(std::string_view name);

// "a/b", or "b" when `dir` is empty.
std::string JoinPath(const std::string& dir, const std::string& name);

// `dir`/`name` by the name of an entry of `dir` that equals `name` but
// for case, or by `name` itself when there is none.
std::string FindNoCase(Env& env, const std::string& dir, const std::string& name);

// The packed DOS date-time (date in the high 16 bits, time in the low 16,
// two-second steps) of a local seconds count; times before 1980 give
// 1980-01-01 00:00.
uint32_t PackDosDateTime(int64_t local_seconds);
// The same for a file's last write (FileInfo::mtime_ns is UTC).
uint32_t DosTimeOfFile(Env& env, const FileInfo& info);

}  // namespace netrove
