// Favourites files in memory: creation, replacing, deleting with
// compaction, damaged files, failing disks, and the group listing.
#include "webmail/favourites.h"

#include <gtest/gtest.h>

#include "testing/fake_env.h"

namespace netrove {
namespace {

constexpr char kPath[] = "MailBox/ANN/Main.fvr";

std::string Records(int first, int last) {
  std::string data;
  for (int i = first; i <= last; ++i)
    data += EncodeFavourite({"t" + std::to_string(i), "http://" + std::to_string(i)});
  return data;
}

TEST(FavouritesTest, AMissingFileIsCreatedWithOneDefaultRecordForTheUserOnly) {
  testing::FakeEnv env;
  FavouritesFile file(env, kPath);
  ASSERT_TRUE(file.Open());
  EXPECT_EQ(file.Count(), 1u);
  EXPECT_EQ(file.Get(1), DefaultFavourite());
  EXPECT_EQ(file.Get(2), std::nullopt);
  EXPECT_EQ(env.FileText(kPath), EncodeFavourite(DefaultFavourite()));
  EXPECT_EQ(env.Stat(kPath)->mode, 0600u);
  EXPECT_EQ(env.Paths(), std::vector<std::string>{kPath});  // no temporary file left
}

TEST(FavouritesTest, AnAddressAddedTwiceKeepsOneRecordWithTheNewerTitle) {
  testing::FakeEnv env;
  env.PutFile(kPath, Records(1, 2), 0644);
  FavouritesFile file(env, kPath);
  ASSERT_TRUE(file.Add({"old", "http://x"}));
  ASSERT_TRUE(file.Add({std::string(150, 'n'), "http://x"}));
  ASSERT_TRUE(file.Add({"two", "http://2"}));
  FavouritesFile again(env, kPath);
  ASSERT_TRUE(again.Open());
  ASSERT_EQ(again.Count(), 3u);
  EXPECT_EQ(again.Get(2), (Favourite{"two", "http://2"}));
  EXPECT_EQ(again.Get(3), (Favourite{std::string(100, 'n'), "http://x"}));
  EXPECT_EQ(env.Stat(kPath)->mode, 0600u);
}

TEST(FavouritesTest, DeletingOneAndThreeOfFiveLeavesTwoFourAndFive) {
  testing::FakeEnv env;
  env.PutFile(kPath, Records(1, 5));
  FavouritesFile file(env, kPath);
  ASSERT_TRUE(file.Delete({3, 0, 1, 6, 3}));
  EXPECT_EQ(env.FileText(kPath), Records(2, 2) + Records(4, 5));
  EXPECT_EQ(file.Count(), 3u);
}

TEST(FavouritesTest, DamagedFilesAreClampedAndCutToWholeRecords) {
  testing::FakeEnv env;
  std::string damaged = Records(1, 1);
  damaged[0] = damaged[101] = '\xff';
  env.PutFile(kPath, damaged + std::string(150, '\xee'));
  FavouritesFile file(env, kPath);
  ASSERT_TRUE(file.Open());
  ASSERT_EQ(file.Count(), 1u);
  EXPECT_EQ(file.Get(1)->title, "t1" + std::string(98, '\0'));
  EXPECT_EQ(file.Get(1)->address.size(), 100u);
  env.PutFile(kPath, std::string(201, '\x07'));  // no whole record: a new file
  ASSERT_TRUE(file.Open());
  EXPECT_EQ(file.Get(1), DefaultFavourite());
}

TEST(FavouritesTest, AFailingDiskLeavesTheOldFile) {
  testing::FakeEnv fake;
  testing::FaultEnv env(fake);
  fake.PutFile(kPath, Records(1, 2));
  FavouritesFile file(env, kPath);
  env.FailRenames(true);
  EXPECT_FALSE(file.Add({"new", "http://new"}));
  EXPECT_FALSE(file.Delete({1}));
  EXPECT_EQ(file.Count(), 2u);
  env.FailRenames(false);
  env.FailWriteNumber(0);
  EXPECT_FALSE(file.Add({"new", "http://new"}));
  EXPECT_EQ(fake.FileText(kPath), Records(1, 2));
  EXPECT_EQ(fake.Paths(), std::vector<std::string>{kPath});
  ASSERT_TRUE(fake.RemoveFile(kPath));
  env.SetDiskFull(true);
  EXPECT_FALSE(file.Open());
  EXPECT_EQ(file.Count(), 0u);
}

TEST(FavouritesTest, GroupsAreTheFvrFilesOfTheUser) {
  testing::FakeEnv env;
  for (const char* name : {"Main.fvr", "work.FVR", "a.b.fvr", ".fvr", "1.msg", "x.fvr.tmp1", "b"})
    env.PutFile(std::string("MailBox/ANN/") + name, "");
  EXPECT_EQ(FavouriteGroups(env, "MailBox/ANN"), (std::vector<std::string>{"Main", "a", "work"}));
  EXPECT_EQ(FavouriteGroups(env, "MailBox/ANN", 2), (std::vector<std::string>{"Main", "a"}));
}

}  // namespace
}  // namespace netrove
