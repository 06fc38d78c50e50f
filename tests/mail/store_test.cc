// The mail store on a scratch directory: names, the accounts file,
// delivery, numbering, renumbering, the listed-message checks and the queue.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <utility>

#include "lib/test_context.h"
#include "mail/mail_accounts.h"
#include "mail/mail_names.h"
#include "mail/mail_store.h"

namespace netrove {
namespace {

namespace fs = std::filesystem;
using testing::DirectoryNames;
using testing::ReadText;
using testing::WriteFile;
using namespace std::string_literals;

class MailStoreTest : public ::testing::Test {
 protected:
  std::string Box(const std::string& rest = "") { return scratch / ("MailBox/" + rest); }

  testing::ScratchDir scratch;
  testing::TestEnv env;
  MailStore store{env, scratch.path()};
};

TEST(MailNamesTest, NumbersDosTimeAndAccountLines) {
  EXPECT_EQ(FileNumberOf("65535.msg"), 65535);
  for (const char* bad : {"65536.msg", "0.msg", "007.msg", "x.msg", ".msg", "-1.msg", "1a.msg"})
    EXPECT_FALSE(FileNumberOf(bad)) << bad;
  EXPECT_EQ(PackDosDateTime(1709214358),  // 2024-02-29 13:45:58
            (44u << 9 | 2 << 5 | 29) << 16 | (13 << 11 | 45 << 5 | 29));

  MailAccounts a = ParseMailAccounts(
      "server pop.example.net:995 joe secret JOE ANN ; comment\r\nSERVER onlyhost\n"
      "USER\tann  pw\t  Ann Box\ralias joe@example.net joe\nALIAS *  postmaster  root\n"
      "ALIAS nobody\nUSER eve pw\0x\nFROB a b\nUSERann pw x\n"s,
      "admin");
  EXPECT_EQ(a.servers, std::vector<std::string>{"pop.example.net:995 joe secret JOE ANN"});
  EXPECT_EQ(a.users, std::vector<std::string>{"ann pw Ann Box"});
  EXPECT_EQ(a.aliases, std::vector<std::string>{"JOE@EXAMPLE.NET JOE"});
  EXPECT_EQ(a.default_user, "postmaster root");
  EXPECT_FALSE(MatchUserEntry("anna pw", "ann", "pw"));
}

TEST_F(MailStoreTest, ReloadReplacesListsWholeAndAliasesChooseUsersOnceEach) {
  ASSERT_TRUE(store.DeliverToUsers("lost\r\n", "nobody@x", ""));
  EXPECT_EQ(ReadText(Box("ADMIN/1.msg")), "lost\r\n");
  WriteFile(scratch / "servpop3.dat", "ALIAS a@x ann\nALIAS * boss\nUSER ann pw\n");
  ASSERT_TRUE(store.LoadMailAccounts());
  std::shared_ptr<const MailAccounts> first = store.Accounts();
  EXPECT_TRUE(store.IsLocalAlias("A@x"));
  EXPECT_FALSE(store.LoadMailAccounts());  // unchanged file: no reading

  WriteFile(scratch / "servpop3.dat", "ALIAS team@x ann bob\nALIAS TEAM@X bob carl\n");
  EXPECT_TRUE(store.LoadMailAccounts());
  EXPECT_FALSE(store.IsLocalAlias("a@x"));
  EXPECT_EQ(store.Accounts()->default_user, "boss");
  EXPECT_EQ(first->users.size(), 1u);  // a holder's lists never change
  ASSERT_TRUE(store.DeliverToUsers("hi\r", "team@x", "dora ann"));
  for (const char* user : {"ANN", "BOB", "CARL", "DORA"}) {
    EXPECT_EQ(DirectoryNames(Box(user)), std::set<std::string>{"1.msg"}) << user;
    EXPECT_EQ(ReadText(Box(std::string(user) + "/1.msg")), "hi\r");
  }
  fs::create_directories(Box("eve"));  // found whatever its case
  ASSERT_TRUE(store.DeliverToUser("Eve", "m"));
  EXPECT_TRUE(fs::exists(Box("eve/1.msg")));
  EXPECT_FALSE(fs::exists(Box("EVE")));

  WriteFile(scratch / "servpop3.dat", "ALIAS c@x carl\n");
  store.ActiveMailFetches() = 1;
  EXPECT_FALSE(store.ReloadMailAccountsIfIdle());
  store.ActiveMailFetches() = 0;
  EXPECT_TRUE(store.ReloadMailAccountsIfIdle());
  EXPECT_TRUE(store.IsLocalAlias("c@x"));
  fs::remove(scratch / "servpop3.dat");
  EXPECT_TRUE(store.LoadMailAccounts() && store.Accounts()->aliases.empty());
}

TEST_F(MailStoreTest, NumberingSkipsOddNamesStopsAt65535AndServesTheQueue) {
  for (const char* name : {"3.msg", "7.MSG", "70000.msg", "note.msg", "9.txt", "012.msg"})
    WriteFile(Box("ANN/") + name, "x");
  EXPECT_EQ(store.NextMessageNumber(Box("ANN")), 8);
  WriteFile(Box("ANN/65535.msg"), "last");
  EXPECT_FALSE(store.NextMessageNumber(Box("ANN")));
  EXPECT_FALSE(store.DeliverToUser("ann", "refused"));
  EXPECT_EQ(ReadText(Box("ANN/65535.msg")), "last");
  EXPECT_EQ(DirectoryNames(Box("ANN")).size(), 7u);  // nothing new, no temporary left

  WriteFile(Box("4.smtp"), "q");
  WriteFile(Box("9.msg"), "not queue");
  EXPECT_EQ(store.WriteQueueFile("from\r"), Box("5.smtp"));
  EXPECT_EQ(ReadText(Box("5.smtp")), "from\r");
  EXPECT_EQ(store.WriteQueueFile("next\r"), Box("6.smtp"));
  EXPECT_TRUE(store.HasFreeSpaceForMail());
  env.SetDiskFull(true);
  EXPECT_FALSE(store.HasFreeSpaceForMail());
  EXPECT_FALSE(store.WriteQueueFile("full\r"));
  EXPECT_FALSE(env.Stat(Box("7.smtp")));
}

// Records flushes and renames; another writer takes 2.msg in `race_in` right after our scan.
class RacingEnv : public testing::FaultEnv {
 public:
  using FaultEnv::FaultEnv;
  std::vector<std::string> ListDirectory(const std::string& path, size_t limit) override {
    std::vector<std::string> names = FaultEnv::ListDirectory(path, limit);
    if (!race_in.empty() && path == race_in) WriteFile(std::exchange(race_in, "") + "/2.msg", "2");
    return names;
  }
  std::unique_ptr<WritableFile> OpenForWriting(const std::string& path, OpenMode how,
                                               mode_t mode) override {
    struct File : WritableFile {
      std::unique_ptr<WritableFile> f;
      std::function<void()> on_sync;
      bool Append(std::string_view d) override { return f->Append(d); }
      bool WriteAt(uint64_t o, std::string_view d) override { return f->WriteAt(o, d); }
      bool Sync() override { return on_sync(), f->Sync(); }
      bool Close() override { return f->Close(); }
    };
    auto file = std::make_unique<File>();
    file->f = FaultEnv::OpenForWriting(path, how, mode);
    file->on_sync = [this, path] { events.push_back("sync " + path); };
    return file->f ? std::move(file) : nullptr;
  }
  bool Rename(const std::string& from, const std::string& to) override {
    events.push_back("rename " + from + " " + to);
    return FaultEnv::Rename(from, to);
  }
  std::string race_in;
  std::vector<std::string> events;
};

TEST_F(MailStoreTest, DeliveryIsExclusiveSyncedAndRenamedIntoPlace) {
  RacingEnv racing(env);
  MailStore racy(racing, scratch.path());
  ASSERT_TRUE(racy.DeliverToUser("ann", "1"));
  racing.race_in = Box("ANN");
  racing.events.clear();
  ASSERT_TRUE(racy.DeliverToUser("ann", "3"));
  EXPECT_EQ(ReadText(Box("ANN/2.msg")) + ReadText(Box("ANN/3.msg")), "23");
  EXPECT_EQ(DirectoryNames(Box("ANN")), (std::set<std::string>{"1.msg", "2.msg", "3.msg"}));
  ASSERT_EQ(racing.events.size(), 2u);  // flushed under the temporary name, then renamed
  EXPECT_TRUE(racing.events[0].starts_with("sync " + Box("ANN/.")));
  EXPECT_EQ(racing.events[1], "rename " + racing.events[0].substr(5) + " " + Box("ANN/3.msg"));

  // A failed write or rename leaves neither the message nor a temporary.
  env.FailWriteNumber(0);
  EXPECT_FALSE(racy.DeliverToUser("ann", "4"));
  env.FailRenames(true);
  EXPECT_FALSE(racy.DeliverToUser("ann", "4"));
  EXPECT_EQ(DirectoryNames(Box("ANN")).size(), 3u);
}

TEST_F(MailStoreTest, FoldersRenumberWithoutOverwritingAndListingsAreChecked) {
  for (const char* name : {"3.msg", "7.msg", "word.msg"}) WriteFile(Box("ANN/") + name, name);
  const std::string dir = store.UserDirectory("ANN");
  MessageList list = store.OpenFolder(dir);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].number, 2);
  EXPECT_EQ(ReadText(Box("ANN/1.msg")) + ReadText(Box("ANN/2.msg")), "3.msg7.msg");

  WriteFile(Box("ANN/5.msg"), "five");
  MessageList stale = store.ScanMailbox(dir);  // 1, 2, 5
  WriteFile(Box("ANN/3.msg"), "arrived");
  EXPECT_FALSE(store.RenumberMailbox(dir, stale));  // 5 -> 3 not even tried
  EXPECT_EQ(ReadText(Box("ANN/3.msg")) + ReadText(Box("ANN/5.msg")), "arrivedfive");

  // A listed message whose file now differs in inode, size or write time
  // alone is neither read, removed nor moved.
  for (const std::string change : {"inode", "size", "time"}) {
    const std::string box = store.UserDirectory(change), path = box + "/1.msg";
    WriteFile(path, "12345");
    list = store.OpenFolder(box);
    ASSERT_EQ(list.size(), 1u);
    const fs::file_time_type time = fs::last_write_time(path);
    if (change == "inode") {
      WriteFile(path + "~", "12345");
      fs::rename(path + "~", path);
    }
    if (change == "size") fs::resize_file(path, 4);
    fs::last_write_time(path, change == "time" ? time + std::chrono::seconds(1) : time);
    bool changed = false;
    EXPECT_FALSE(store.OpenListed(box, list[0], changed)) << change;
    EXPECT_TRUE(changed) << change;
    EXPECT_FALSE(store.EraseListed(box, list[0])) << change;
    EXPECT_FALSE(store.MoveListed(box, list[0], store.FolderDirectory(box, "old"))) << change;
    EXPECT_TRUE(fs::exists(path)) << change;
  }
  EXPECT_EQ(store.FolderDirectory(Box("size"), "../../Old"), Box("size/old"));
}

}  // namespace
}  // namespace netrove
