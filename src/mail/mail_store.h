// The mail store: plain files below "MailBox" in the program directory.
// Each local user has a directory of numbered messages ("<n>.msg") and may
// have folders below it; outgoing mail waits as "<n>.smtp" files in
// "MailBox" itself. Directory and file names are found without regard to
// case. The store also owns the accounts of "servpop3.dat" and the two
// counters the mail tasks share.
//
// Numbering: a new file takes the highest number of its directory plus
// one, created exclusively (a number some other writer took meanwhile is
// skipped, never overwritten), under the directory's lock, which
// deliveries, moves, renumbering and scans share. A directory whose
// highest number is 65535 takes no more files. A delivered message is
// written under a temporary name, flushed to disk and renamed into place,
// so no reader ever sees half a message.
//
// Listed messages are named by their MessageEntry: an operation on one
// first checks that its file is still the one listed (same inode, size and
// write time), so a stale listing never reaches another message.
//
// Thread safety: every member may be called from any task. The store must
// outlive the tasks that use it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mail_accounts.h"
#include "runtime/env.h"

namespace netrove {

inline constexpr char kMailBoxDirectory[] = "MailBox";
// Below this much free space the fetcher stores nothing.
inline constexpr uint64_t kMinimumFreeMailSpace = 5242880;
inline constexpr char kDiskFullText[] = "Disk full! (disk place less 5 mb)";
// The folder name of a mailbox's main folder (MAILBOX, MDELE).
inline constexpr char kMainFolderName[] = "Inbox";

// One message of an open folder.
struct MessageEntry {
  uint16_t number = 0;
  int32_t size = 0;   // bytes (capped at 2^31 - 1)
  uint32_t time = 0;  // the file's last write, packed DOS date-time, local
  // The file as listed.
  std::string name;
  uint64_t inode = 0;
  uint64_t bytes = 0;
  int64_t mtime_ns = 0;
};
// Sorted by number, ascending.
using MessageList = std::vector<MessageEntry>;

class MailStore {
 public:
  // `home` holds "MailBox" and "servpop3.dat" ("" = the working
  // directory, which is the program directory).
  MailStore(Env& env, std::string home);
  MailStore(const MailStore&) = delete;
  MailStore& operator=(const MailStore&) = delete;

  Env& env() const { return env_; }

  // --- Accounts.
  // Reads "servpop3.dat" into fresh lists that replace the old ones whole
  // when the file changed since the last reading (a missing file gives
  // empty lists). The default user survives a reading without "ALIAS *".
  // True when it read.
  bool LoadMailAccounts();
  // LoadMailAccounts while no fetch runs (ActiveMailFetches is 0).
  bool ReloadMailAccountsIfIdle();
  // The lists in force; a later reading never changes them.
  std::shared_ptr<const MailAccounts> Accounts() const;
  // True when `address`, in upper case, is the first word of an alias.
  bool IsLocalAlias(std::string_view address) const;

  // --- Delivery.
  // Resolves the users (the blank-separated `initial_users`, then every
  // alias whose first word is `recipient`, else the default user), each
  // once, and stores one copy per user; false at the first that fails.
  [[nodiscard]] bool DeliverToUsers(std::string_view message, std::string_view recipient,
                                    std::string_view initial_users);
  // One copy into the mailbox of `user` (upper-cased, one path component),
  // made if missing. False when the name is not usable, the folder is full
  // or the file cannot be written.
  [[nodiscard]] bool DeliverToUser(std::string_view user, std::string_view message);

  // The mailbox directory `login` (upper case) opens with `password`, by
  // the first USER line that accepts them, made if missing; "" when none
  // does.
  std::string MailboxOfLogin(const std::string& login, const std::string& password);

  // --- Directories and folders.
  // "MailBox" made with its parents; its path.
  std::string EnsureMailRoot();
  // The directory of a mailbox (one component, as given: deliveries and
  // logins upper-case it first), made if missing; "" for an unusable name.
  std::string UserDirectory(std::string_view name);
  // A folder below a user directory (FolderComponent of `name`), made if
  // missing; "" when the name is refused. kMainFolderName (any case) is
  // the user directory itself.
  std::string FolderDirectory(const std::string& user_dir, std::string_view name);
  // The next number of `extension` files in `dir` (highest plus one, 1
  // when there is none); nullopt when the highest is 65535.
  std::optional<uint16_t> NextMessageNumber(const std::string& dir,
                                            std::string_view extension = "msg");

  // --- Folders as a POP3 connection sees them.
  // The ".msg" files of `dir` with a valid number, sorted.
  MessageList ScanMailbox(const std::string& dir);
  // Gives the listed files the numbers 1..N in order; a target name that
  // exists is never overwritten. True when a rename was tried.
  bool RenumberMailbox(const std::string& dir, const MessageList& list);
  // Scan, renumbering first when the numbers are not 1..N.
  MessageList OpenFolder(const std::string& dir);

  // The file of a listed message for reading: null when it cannot be
  // opened; `changed` is set when it is no longer the file listed.
  std::unique_ptr<ReadableFile> OpenListed(const std::string& dir, const MessageEntry& entry,
                                           bool& changed);
  // Removes a listed message; false when it is no longer the file listed.
  [[nodiscard]] bool EraseListed(const std::string& dir, const MessageEntry& entry);
  // Moves a listed message to another folder under that folder's next
  // number; false when it is no longer the file listed (a failed rename
  // is not reported).
  [[nodiscard]] bool MoveListed(const std::string& dir, const MessageEntry& entry,
                                const std::string& target_dir);

  // --- The outgoing queue.
  // Stores `text` as "MailBox/<n>.smtp" with the next queue number: written
  // under a temporary name, flushed to disk and renamed into place, so the
  // queue never shows half a file. The path, or nullopt when it could not
  // be stored (nothing is left behind then).
  std::optional<std::string> WriteQueueFile(std::string_view text);

  // True when the disk of the store has at least 5 MB free.
  bool HasFreeSpaceForMail();

  // Fetch tasks running (the read mail task counts too).
  std::atomic<int32_t>& ActiveMailFetches() { return active_mail_fetches_; }
  // SMTP connections storing an accepted message.
  std::atomic<int32_t>& ActiveSmtpDeliveries() { return active_smtp_deliveries_; }

 private:
  struct Claimed {
    std::string path;
    std::unique_ptr<WritableFile> file;
  };
  // Writes `text` under a temporary name in `dir`, then renames it to the
  // next "<n>.<extension>" of that directory; its path, or nullopt.
  std::optional<std::string> StoreNumbered(const std::string& dir, std::string_view extension,
                                           std::string_view text);
  // The lock of one directory (by its path).
  std::shared_ptr<std::mutex> DirectoryLock(const std::string& dir);
  // A new file with the next number, created exclusively. Caller holds
  // the directory's lock.
  std::optional<Claimed> ClaimNumber(const std::string& dir, std::string_view extension);
  MessageList ScanLocked(const std::string& dir);
  bool StillListed(const std::string& path, const MessageEntry& entry);

  Env& env_;
  const std::string home_;
  std::atomic<int32_t> active_mail_fetches_{0};
  std::atomic<int32_t> active_smtp_deliveries_{0};

  std::mutex locks_mu_;
  std::map<std::string, std::shared_ptr<std::mutex>> locks_;  // guarded by locks_mu_

  std::mutex load_mu_;             // one reading at a time
  std::optional<FileInfo> stamp_;  // guarded by load_mu_: the file at the last reading
  bool loaded_ = false;            // guarded by load_mu_
  mutable std::mutex accounts_mu_;
  std::shared_ptr<const MailAccounts> accounts_;  // guarded by accounts_mu_
};

// Removes a file of the mail side (DELE, a sent queue file). True when it
// is gone afterwards.
bool EraseFile(Env& env, const std::string& path);

}  // namespace netrove
