// Favourites files in memory: creation, replacing, deleting, damage, failing disks.
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

TEST(FavouritesTest, AMissingFileGetsTheDefaultRecordAnAddressIsKeptOnceDeletingCompacts) {
  testing::FakeEnv env;
  FavouritesFile file(env, kPath);
  ASSERT_TRUE(file.Add({"old", "http://1"}) && file.Add({std::string(150, 'n'), "http://1"}));
  EXPECT_EQ(env.FileText(kPath), EncodeFavourite(DefaultFavourite()) +
                                     EncodeFavourite({std::string(100, 'n'), "http://1"}));
  env.PutFile(kPath, Records(1, 5));
  ASSERT_TRUE(file.Delete({3, 0, 1, 6, 3}));
  EXPECT_EQ(env.FileText(kPath), Records(2, 2) + Records(4, 5));
  EXPECT_EQ(env.Stat(kPath)->mode, 0600u);  // a user's data, whatever the old file had
}

TEST(FavouritesTest, DamagedFilesAndFailingDisks) {
  testing::FakeEnv fake;
  testing::FaultEnv env(fake);
  std::string damaged = Records(1, 1);
  damaged[0] = damaged[101] = '\xff';
  fake.PutFile(kPath, damaged + std::string(150, '\xee'));  // and a partial record
  FavouritesFile file(env, kPath);
  ASSERT_TRUE(file.Open());
  EXPECT_EQ(file.Count(), 1u);
  EXPECT_EQ(file.Get(1), (Favourite{"t1" + std::string(98, 0), "http://1" + std::string(92, 0)}));
  fake.PutFile(kPath, Records(1, 2));
  env.FailRenames(true);
  EXPECT_FALSE(file.Add({"new", "http://new"}));
  EXPECT_EQ(file.Count(), 2u);
  EXPECT_EQ(fake.FileText(kPath), Records(1, 2));
}

}  // namespace
}  // namespace netrove
