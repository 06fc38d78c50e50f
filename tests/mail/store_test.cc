// The mail store on a scratch directory: names and numbers, the accounts
// file, delivery (aliases, numbering, exclusive creation, the atomic write,
// the full folder), renumbering, listed-message checks and the queue.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>
#include <utility>

#include "lib/test_context.h"
#include "mail/mail_accounts.h"
#include "mail/mail_names.h"
#include "mail/mail_store.h"

namespace netrove {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;
using testing::TestEnv;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void Spit(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}
// The names in a directory, sorted.
std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

class MailStoreTest : public ::testing::Test {
 protected:
  std::string Box(const std::string& rest = "") { return scratch / ("MailBox/" + rest); }
  void Accounts(const std::string& text) {
    Spit(scratch / "servpop3.dat", text);
    ASSERT_TRUE(store.LoadMailAccounts());
  }

  ScratchDir scratch;
  TestEnv env;
  MailStore store{env, scratch.path()};
};

TEST(MailNamesTest, NumbersAndComponents) {
  EXPECT_EQ(FileNumberOf("7.msg"), 7);
  EXPECT_EQ(FileNumberOf("65535.msg"), 65535);
  for (const char* bad : {"65536.msg", "0.msg", "007.msg", "x.msg", ".msg", "-1.msg", "1a.msg"})
    EXPECT_FALSE(FileNumberOf(bad)) << bad;
  EXPECT_EQ(MailboxComponent("../../etc"), "....etc");
  EXPECT_EQ(MailboxComponent(".."), "");
  EXPECT_EQ(FolderComponent("../../etc"), "etc");
  // 2024-02-29 13:45:58: date 44<<9 | 2<<5 | 29, time 13<<11 | 45<<5 | 29.
  EXPECT_EQ(PackDosDateTime(1709214358),
            (44u << 9 | 2 << 5 | 29) << 16 | (13 << 11 | 45 << 5 | 29));
}

TEST(MailAccountsTest, ParsesLinesAsWritten) {
  MailAccounts a = ParseMailAccounts(
      "server pop.example.net:995 joe secret JOE ANN ; comment\r\n"
      "SERVER onlyhost\n"
      "USER\tann  pw\t  Ann Box\r"
      "alias joe@example.net joe\n"
      "ALIAS *  postmaster  root\n"
      "ALIAS nobody\n"
      "USER eve pw" +
          std::string(1, '\0') +
          "x\n"
          "FROB a b\n"
          "USERann pw x\n",
      "admin");
  EXPECT_EQ(a.servers, std::vector<std::string>{"pop.example.net:995 joe secret JOE ANN"});
  EXPECT_EQ(a.users, std::vector<std::string>{"ann pw Ann Box"});
  EXPECT_EQ(a.aliases, std::vector<std::string>{"JOE@EXAMPLE.NET JOE"});
  EXPECT_EQ(a.default_user, "postmaster root");
  EXPECT_EQ(ParseMailAccounts("", "kept").default_user, "kept");

  EXPECT_EQ(MatchUserEntry("ann pw Ann Box", "ANN", "pw"), "Ann Box");
  EXPECT_FALSE(MatchUserEntry("anna pw", "ann", "pw"));
}

TEST_F(MailStoreTest, ReloadReplacesListsWholeAndKeepsDefault) {
  Accounts("ALIAS a@x ann\nALIAS * boss\nUSER ann pw\n");
  std::shared_ptr<const MailAccounts> first = store.Accounts();
  EXPECT_TRUE(store.IsLocalAlias("A@x"));
  EXPECT_FALSE(store.LoadMailAccounts());  // unchanged file: no reading

  Spit(scratch / "servpop3.dat", "ALIAS b@x bob\n");
  EXPECT_TRUE(store.LoadMailAccounts());
  EXPECT_FALSE(store.IsLocalAlias("a@x"));
  EXPECT_TRUE(store.IsLocalAlias("b@x"));
  EXPECT_EQ(store.Accounts()->default_user, "boss");
  EXPECT_TRUE(store.Accounts()->users.empty());
  EXPECT_EQ(first->users.size(), 1u);  // a holder's lists never change

  Spit(scratch / "servpop3.dat", "ALIAS c@x carl\n");
  store.ActiveMailFetches() = 1;
  EXPECT_FALSE(store.ReloadMailAccountsIfIdle());
  store.ActiveMailFetches() = 0;
  EXPECT_TRUE(store.ReloadMailAccountsIfIdle());
  EXPECT_TRUE(store.IsLocalAlias("c@x"));

  fs::remove(scratch / "servpop3.dat");
  EXPECT_TRUE(store.LoadMailAccounts());
  EXPECT_TRUE(store.Accounts()->aliases.empty());
}

TEST_F(MailStoreTest, AliasesChooseUsersOnceEachAndDefaultToAdmin) {
  ASSERT_TRUE(store.DeliverToUsers("lost\r\n", "nobody@x", ""));
  EXPECT_EQ(Slurp(Box("ADMIN/1.msg")), "lost\r\n");

  Accounts("ALIAS team@x ann bob\nALIAS TEAM@X bob carl\n");
  ASSERT_TRUE(store.DeliverToUsers("hi\r", "team@x", "dora ann"));
  for (const char* user : {"ANN", "BOB", "CARL", "DORA"}) {
    EXPECT_EQ(Names(Box(user)), std::set<std::string>{"1.msg"}) << user;
    EXPECT_EQ(Slurp(Box(std::string(user) + "/1.msg")), "hi\r");
  }
  // An existing directory is found whatever its case.
  fs::create_directories(Box("eve"));
  ASSERT_TRUE(store.DeliverToUser("Eve", "m"));
  EXPECT_TRUE(fs::exists(Box("eve/1.msg")));
  EXPECT_FALSE(fs::exists(Box("EVE")));
  // No user name leaves MailBox.
  EXPECT_FALSE(store.DeliverToUser("..", "m"));
  ASSERT_TRUE(store.DeliverToUser("../../x", "m"));
  EXPECT_TRUE(fs::exists(Box("....X/1.msg")));
  EXPECT_EQ(Names(scratch.path()), (std::set<std::string>{"MailBox", "servpop3.dat"}));
}

TEST_F(MailStoreTest, NumberingSkipsOddNamesAndStopsAt65535) {
  for (const char* name : {"3.msg", "7.MSG", "70000.msg", "note.msg", "9.txt", "012.msg"})
    Spit(Box("ANN/") + name, "x");
  EXPECT_EQ(store.NextMessageNumber(Box("ANN")), 8);
  fs::create_directories(Box("BOB"));
  EXPECT_EQ(store.NextMessageNumber(Box("BOB")), 1);

  Spit(Box("ANN/65535.msg"), "last");
  EXPECT_FALSE(store.NextMessageNumber(Box("ANN")));
  EXPECT_FALSE(store.DeliverToUser("ann", "refused"));
  EXPECT_EQ(Slurp(Box("ANN/65535.msg")), "last");
  EXPECT_EQ(Names(Box("ANN")).size(), 7u);  // nothing new, no temporary left
}

// Records flushes and renames, and plays another writer that takes the
// number 2 in `race_in` right after our scan of it.
class RacingEnv : public testing::FaultEnv {
 public:
  using FaultEnv::FaultEnv;
  std::vector<std::string> ListDirectory(const std::string& path, size_t limit) override {
    std::vector<std::string> names = FaultEnv::ListDirectory(path, limit);
    if (!race_in.empty() && path == race_in) Spit(std::exchange(race_in, "") + "/2.msg", "theirs");
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
  ASSERT_TRUE(racy.DeliverToUser("ann", "one"));
  racing.race_in = Box("ANN");
  racing.events.clear();
  ASSERT_TRUE(racy.DeliverToUser("ann", "two"));
  EXPECT_EQ(Slurp(Box("ANN/2.msg")), "theirs");
  EXPECT_EQ(Slurp(Box("ANN/3.msg")), "two");
  EXPECT_EQ(Names(Box("ANN")), (std::set<std::string>{"1.msg", "2.msg", "3.msg"}));
  // The text was flushed under its temporary name before the rename.
  ASSERT_EQ(racing.events.size(), 2u);
  EXPECT_TRUE(racing.events[0].starts_with("sync " + Box("ANN/.")));
  EXPECT_EQ(racing.events[1], "rename " + racing.events[0].substr(5) + " " + Box("ANN/3.msg"));

  // A failed write or rename leaves neither the message nor a temporary.
  env.FailWriteNumber(0);
  EXPECT_FALSE(racy.DeliverToUser("ann", "three"));
  env.FailRenames(true);
  EXPECT_FALSE(racy.DeliverToUser("ann", "three"));
  env.FailRenames(false);
  EXPECT_EQ(Names(Box("ANN")).size(), 3u);
  EXPECT_TRUE(racy.DeliverToUser("ann", "three"));
  EXPECT_EQ(Slurp(Box("ANN/4.msg")), "three");
}

TEST_F(MailStoreTest, TwoDeliverersLeaveEveryMessageWholeUnderItsOwnNumber) {
  constexpr int kEach = 500;
  auto deliver = [&](char who) {
    for (int i = 0; i < kEach; ++i)
      ASSERT_TRUE(store.DeliverToUser("ann", std::string(200 + i, who) + std::to_string(i)));
  };
  std::thread a(deliver, 'a'), b(deliver, 'b');
  a.join();
  b.join();
  std::set<std::string> texts;
  for (int n = 1; n <= 2 * kEach; ++n)
    texts.insert(Slurp(Box("ANN/" + std::to_string(n) + ".msg")));
  EXPECT_EQ(Names(Box("ANN")).size(), 2u * kEach);
  ASSERT_EQ(texts.size(), 2u * kEach);
  for (int i = 0; i < kEach; ++i)
    for (char who : {'a', 'b'})
      EXPECT_TRUE(texts.count(std::string(200 + i, who) + std::to_string(i))) << who << i;
}

TEST_F(MailStoreTest, OpenFolderRenumbersInOrderAndListedChecksCatchChanges) {
  Spit(Box("ANN/3.msg"), "three");
  Spit(Box("ANN/7.msg"), "seven!");
  Spit(Box("ANN/word.msg"), "ignored");
  const std::string dir = store.UserDirectory("ANN");
  MessageList list = store.OpenFolder(dir);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].number, 1);
  EXPECT_EQ(list[1].number, 2);
  EXPECT_EQ(list[1].size, 6);
  EXPECT_EQ(Slurp(Box("ANN/1.msg")), "three");
  EXPECT_EQ(Slurp(Box("ANN/2.msg")), "seven!");

  // Renumbering never overwrites a file that took a number meanwhile.
  Spit(Box("ANN/5.msg"), "five");
  MessageList stale = store.ScanMailbox(dir);  // 1, 2, 5
  Spit(Box("ANN/3.msg"), "arrived");
  EXPECT_FALSE(store.RenumberMailbox(dir, stale));  // 5 -> 3 not even tried
  EXPECT_EQ(Slurp(Box("ANN/3.msg")), "arrived");
  EXPECT_EQ(Slurp(Box("ANN/5.msg")), "five");

  // A listing whose file was renamed or rewritten names no message.
  list = store.OpenFolder(dir);  // 1 2 3 4
  ASSERT_EQ(list.size(), 4u);
  MessageEntry third = list[2];
  fs::rename(Box("ANN/4.msg"), Box("ANN/9.msg"));
  fs::rename(Box("ANN/3.msg"), Box("ANN/4.msg"));
  fs::rename(Box("ANN/9.msg"), Box("ANN/3.msg"));  // same name, other file
  bool changed = false;
  EXPECT_FALSE(store.OpenListed(dir, third, changed));
  EXPECT_TRUE(changed);
  EXPECT_FALSE(store.EraseListed(dir, third));
  EXPECT_FALSE(store.MoveListed(dir, third, store.FolderDirectory(dir, "old")));
  EXPECT_EQ(Names(Box("ANN")).size(), 6u);  // 1-4, word.msg, old

  EXPECT_EQ(store.FolderDirectory(dir, "../../Old"), Box("ANN/old"));  // found, never outside
}

TEST_F(MailStoreTest, QueueFilesTakeTheNextNumberAndSpaceIsChecked) {
  Spit(Box("4.smtp"), "q");
  Spit(Box("9.msg"), "not queue");
  std::optional<MailStore::QueueFile> q = store.CreateQueueFile();
  ASSERT_TRUE(q);
  EXPECT_EQ(q->path, Box("5.smtp"));
  ASSERT_TRUE(q->file->Append("from\r") && q->file->Close());
  EXPECT_EQ(store.CreateQueueFile()->path, Box("6.smtp"));
  EXPECT_TRUE(store.HasFreeSpaceForMail());
  env.SetDiskFull(true);
  EXPECT_FALSE(store.HasFreeSpaceForMail());
  EXPECT_FALSE(store.CreateQueueFile());
}

}  // namespace
}  // namespace netrove
