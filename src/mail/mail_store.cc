// The mail store's files. Every number a file gets is taken under the
// lock of its directory and created with O_EXCL, so two writers in this
// process never pick the same one and a file another process made first
// is stepped over, not replaced.
#include "mail/mail_store.h"

#include <algorithm>
#include <climits>

#include "mail/mail_names.h"
#include "runtime/text.h"

namespace netrove {

namespace {

constexpr size_t kListLimit = 1 << 18;
constexpr size_t kAccountsLimit = 1 << 20;
constexpr mode_t kMailFileMode = 0600;
constexpr mode_t kMailDirMode = 0700;
constexpr int kRenumberRounds = 4;

// The name a delivery writes before the rename: its part before the first
// "." is empty, so no scan lists it.
std::string TemporaryName(const std::string& dir) {
  return JoinPath(dir, ".deliver." + UniqueTemporarySuffix());
}

bool SameFile(const FileInfo& a, const FileInfo& b) {
  return a.inode == b.inode && a.size == b.size && a.mtime_ns == b.mtime_ns;
}

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  for (size_t i = 0; i < text.size();) {
    size_t end = std::min(text.find(' ', i), text.size());
    if (end > i) words.emplace_back(text.substr(i, end - i));
    i = end + 1;
  }
  return words;
}

}  // namespace

bool EraseFile(Env& env, const std::string& path) { return env.RemoveFile(path); }

MailStore::MailStore(Env& env, std::string home)
    : env_(env), home_(std::move(home)), accounts_(std::make_shared<const MailAccounts>()) {}

// --- Accounts.

bool MailStore::LoadMailAccounts() {
  std::lock_guard<std::mutex> lock(load_mu_);
  const std::string path = FindNoCase(env_, home_, kMailAccountsFile);
  std::optional<FileInfo> info = env_.Stat(path);
  if (info && info->is_directory) info.reset();
  const bool same =
      loaded_ && info.has_value() == stamp_.has_value() && (!info || SameFile(*info, *stamp_));
  if (same) return false;
  loaded_ = true;
  stamp_ = info;
  std::string text = info ? env_.ReadFile(path, kAccountsLimit).value_or("") : "";
  auto fresh =
      std::make_shared<const MailAccounts>(ParseMailAccounts(text, Accounts()->default_user));
  std::lock_guard<std::mutex> swap(accounts_mu_);
  accounts_ = std::move(fresh);
  return true;
}

bool MailStore::ReloadMailAccountsIfIdle() {
  return active_mail_fetches_.load() == 0 && LoadMailAccounts();
}

std::shared_ptr<const MailAccounts> MailStore::Accounts() const {
  std::lock_guard<std::mutex> lock(accounts_mu_);
  return accounts_;
}

bool MailStore::IsLocalAlias(std::string_view address) const {
  const std::string wanted = UpperAscii(address);
  for (const std::string& alias : Accounts()->aliases)
    if (alias.substr(0, alias.find(' ')) == wanted) return true;
  return false;
}

// --- Delivery.

bool MailStore::DeliverToUsers(std::string_view message, std::string_view recipient,
                               std::string_view initial_users) {
  std::shared_ptr<const MailAccounts> accounts = Accounts();
  std::string users(initial_users);
  if (!recipient.empty()) {
    const std::string wanted = UpperAscii(recipient);
    for (const std::string& alias : accounts->aliases) {
      size_t blank = alias.find(' ');
      if (alias.substr(0, blank) != wanted) continue;
      if (!users.empty()) users += ' ';
      users += alias.substr(blank + 1);
    }
  }
  std::vector<std::string> names = Words(UpperAscii(users));
  if (names.empty()) names = Words(UpperAscii(accounts->default_user));
  std::vector<std::string> done;
  for (const std::string& name : names) {
    if (std::find(done.begin(), done.end(), name) != done.end()) continue;
    done.push_back(name);
    if (!DeliverToUser(name, message)) return false;
  }
  return !done.empty();
}

bool MailStore::DeliverToUser(std::string_view user, std::string_view message) {
  const std::string dir = UserDirectory(UpperAscii(user));
  return !dir.empty() && StoreNumbered(dir, "msg", message);
}

std::optional<std::string> MailStore::StoreNumbered(const std::string& dir,
                                                    std::string_view extension,
                                                    std::string_view text) {
  const std::string tmp = TemporaryName(dir);
  std::unique_ptr<WritableFile> file =
      env_.OpenForWriting(tmp, Env::OpenMode::kCreateOnly, kMailFileMode);
  if (!file) return std::nullopt;
  bool ok = file->Append(text) && file->Sync();
  ok = file->Close() && ok;
  std::optional<std::string> stored;
  if (ok) {
    std::shared_ptr<std::mutex> mu = DirectoryLock(dir);
    std::lock_guard<std::mutex> lock(*mu);
    std::optional<Claimed> claimed = ClaimNumber(dir, extension);
    ok = claimed && claimed->file->Close();
    // The rename replaces the empty file the number was claimed with.
    if (ok && env_.Rename(tmp, claimed->path)) {
      stored = claimed->path;
    } else if (claimed) {
      (void)env_.RemoveFile(claimed->path);
    }
  }
  if (!stored) (void)env_.RemoveFile(tmp);
  return stored;
}

// --- Directories.

std::string MailStore::EnsureMailRoot() {
  std::string root = FindNoCase(env_, home_, kMailBoxDirectory);
  (void)env_.MakeDirectory(root, kMailDirMode);
  return root;
}

std::string MailStore::UserDirectory(std::string_view name) {
  const std::string component = MailboxComponent(name);
  if (component.empty()) return "";
  std::string dir = FindNoCase(env_, EnsureMailRoot(), component);
  return env_.MakeDirectory(dir, kMailDirMode) ? dir : "";
}

std::string MailStore::MailboxOfLogin(const std::string& login, const std::string& password) {
  for (const std::string& entry : Accounts()->users) {
    std::optional<std::string> dir = MatchUserEntry(entry, login, password);
    if (!dir) continue;
    // A directory that is no usable name falls back to the login's.
    std::string user_dir = UserDirectory(MailboxComponent(*dir).empty() ? login : *dir);
    if (!user_dir.empty()) return user_dir;
  }
  return "";
}

std::string MailStore::FolderDirectory(const std::string& user_dir, std::string_view name) {
  const std::string component = FolderComponent(name);
  if (component.empty() || user_dir.empty()) return "";
  if (EqualsNoCase(component, kMainFolderName)) return user_dir;
  std::string dir = FindNoCase(env_, user_dir, component);
  return env_.MakeDirectory(dir, kMailDirMode) ? dir : "";
}

std::shared_ptr<std::mutex> MailStore::DirectoryLock(const std::string& dir) {
  std::lock_guard<std::mutex> lock(locks_mu_);
  std::shared_ptr<std::mutex>& mu = locks_[dir];
  if (!mu) mu = std::make_shared<std::mutex>();
  return mu;
}

std::optional<uint16_t> MailStore::NextMessageNumber(const std::string& dir,
                                                     std::string_view extension) {
  uint32_t highest = 0;
  for (const std::string& name : env_.ListDirectory(dir, kListLimit)) {
    std::optional<uint16_t> n = FileNumberOf(name);
    if (n && HasExtension(name, extension)) highest = std::max<uint32_t>(highest, *n);
  }
  if (highest >= kMaxMessageNumber) return std::nullopt;
  return static_cast<uint16_t>(highest + 1);
}

std::optional<MailStore::Claimed> MailStore::ClaimNumber(const std::string& dir,
                                                         std::string_view extension) {
  std::optional<uint16_t> first = NextMessageNumber(dir, extension);
  if (!first) return std::nullopt;
  for (uint32_t n = *first; n <= kMaxMessageNumber; ++n) {
    std::string path = JoinPath(dir, std::to_string(n) + "." + std::string(extension));
    if (auto file = env_.OpenForWriting(path, Env::OpenMode::kCreateOnly, kMailFileMode))
      return Claimed{path, std::move(file)};
    if (!env_.Stat(path)) return std::nullopt;  // not taken: the directory itself fails
  }
  return std::nullopt;
}

// --- Folders.

MessageList MailStore::ScanLocked(const std::string& dir) {
  MessageList list;
  for (const std::string& name : env_.ListDirectory(dir, kListLimit)) {
    std::optional<uint16_t> n = FileNumberOf(name);
    if (!n || !HasExtension(name, "msg")) continue;
    std::optional<FileInfo> info = env_.Stat(JoinPath(dir, name));
    if (!info || info->is_directory) continue;
    MessageEntry e;
    e.number = *n;
    e.size = static_cast<int32_t>(std::min<uint64_t>(info->size, INT32_MAX));
    e.time = DosTimeOfFile(env_, *info);
    e.name = name;
    e.inode = info->inode;
    e.bytes = info->size;
    e.mtime_ns = info->mtime_ns;
    list.push_back(std::move(e));
  }
  std::sort(list.begin(), list.end(), [](const MessageEntry& a, const MessageEntry& b) {
    return a.number != b.number ? a.number < b.number : a.name < b.name;
  });
  return list;
}

MessageList MailStore::ScanMailbox(const std::string& dir) {
  std::shared_ptr<std::mutex> mu = DirectoryLock(dir);
  std::lock_guard<std::mutex> lock(*mu);
  return ScanLocked(dir);
}

bool MailStore::RenumberMailbox(const std::string& dir, const MessageList& list) {
  std::shared_ptr<std::mutex> mu = DirectoryLock(dir);
  std::lock_guard<std::mutex> lock(*mu);
  bool tried = false;
  uint32_t i = 1;
  for (const MessageEntry& e : list) {
    const uint32_t position = i++;
    if (e.number == position) continue;
    const std::string target = JoinPath(dir, std::to_string(position) + ".msg");
    if (env_.Stat(target)) continue;  // never over another message
    tried = true;
    (void)env_.Rename(JoinPath(dir, e.name), target);
  }
  return tried;
}

MessageList MailStore::OpenFolder(const std::string& dir) {
  MessageList list = ScanMailbox(dir);
  auto in_order = [](const MessageList& l) {
    for (size_t k = 0; k < l.size(); ++k)
      if (l[k].number != k + 1) return false;
    return true;
  };
  for (int round = 0; round < kRenumberRounds && !in_order(list); ++round) {
    if (!RenumberMailbox(dir, list)) break;
    list = ScanMailbox(dir);
  }
  return list;
}

bool MailStore::StillListed(const std::string& path, const MessageEntry& entry) {
  std::optional<FileInfo> info = env_.Stat(path);
  return info && !info->is_directory && info->inode == entry.inode && info->size == entry.bytes &&
         info->mtime_ns == entry.mtime_ns;
}

std::unique_ptr<ReadableFile> MailStore::OpenListed(const std::string& dir,
                                                    const MessageEntry& entry, bool& changed) {
  const std::string path = JoinPath(dir, entry.name);
  std::unique_ptr<ReadableFile> file = env_.OpenForReading(path);
  if (file) {
    FileInfo info = file->Info();
    changed =
        info.inode != entry.inode || info.size != entry.bytes || info.mtime_ns != entry.mtime_ns;
    if (changed) file.reset();
  } else {
    changed = !StillListed(path, entry);
  }
  return file;
}

bool MailStore::EraseListed(const std::string& dir, const MessageEntry& entry) {
  std::shared_ptr<std::mutex> mu = DirectoryLock(dir);
  std::lock_guard<std::mutex> lock(*mu);
  const std::string path = JoinPath(dir, entry.name);
  if (!StillListed(path, entry)) return false;
  (void)EraseFile(env_, path);
  return true;
}

bool MailStore::MoveListed(const std::string& dir, const MessageEntry& entry,
                           const std::string& target_dir) {
  std::shared_ptr<std::mutex> from = DirectoryLock(dir);
  std::shared_ptr<std::mutex> to = DirectoryLock(target_dir);
  std::unique_lock<std::mutex> lock_from(*from, std::defer_lock);
  std::unique_lock<std::mutex> lock_to(*to, std::defer_lock);
  if (from == to) {
    lock_from.lock();
  } else {
    std::lock(lock_from, lock_to);
  }
  const std::string path = JoinPath(dir, entry.name);
  if (!StillListed(path, entry)) return false;
  std::optional<Claimed> claimed = ClaimNumber(target_dir, "msg");
  if (claimed && (!claimed->file->Close() || !env_.Rename(path, claimed->path)))
    (void)env_.RemoveFile(claimed->path);
  return true;
}

// --- The queue.

std::optional<std::string> MailStore::WriteQueueFile(std::string_view text) {
  return StoreNumbered(EnsureMailRoot(), "smtp", text);
}

bool MailStore::HasFreeSpaceForMail() {
  std::optional<DiskSpace> space = env_.DiskSpaceOf(home_.empty() ? "." : home_);
  return space && space->free_bytes >= kMinimumFreeMailSpace;
}

}  // namespace netrove
