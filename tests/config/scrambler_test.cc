// The byte scrambler and the password texts.
#include "config/scrambler.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace netrove {
namespace {

TEST(Scrambler, FixedVectorWorkedOutFromTheDefinition) {
  // Entry "AB": A = 2 + 256*'A' = 16642; user "u": B = 1 + 256*'u' = 29953;
  // K = 0x12345678. 'h' ^ 0x56 = 0x3E, K = 0x6E6D586D; 'i' ^ 0x58 = 0x31.
  // Length byte 02, then 3E 31: "023E31", one leading zero dropped.
  EXPECT_EQ(NameFactor("AB"), 16642u);
  EXPECT_EQ(NameFactor("u"), 29953u);
  EXPECT_EQ(NameFactor(""), 0u);
  EXPECT_EQ(ScramblePasswordText("AB", "u", "hi", 0x12345678), "23E31");
  EXPECT_EQ(DecodePasswordWithKey("$23E31", "AB", "u", 0x12345678), "hi");
  EXPECT_EQ(DecodePasswordWithKey("$023e31", "AB", "u", 0x12345678), "hi");
  // The same text without "$" is read with the program's fixed key.
  EXPECT_NE(DecodePasswordWithKey("23E31", "AB", "u", 0x12345678), "hi");
  // Another entry or user name does not give the password back.
  EXPECT_NE(DecodePasswordWithKey("$23E31", "BB", "u", 0x12345678), "hi");
  EXPECT_NE(DecodePasswordWithKey("$23E31", "AB", "v", 0x12345678), "hi");
}

TEST(Scrambler, StreamsAndRoundTrips) {
  std::vector<uint8_t> data(1000);
  std::mt19937 rng(7);
  for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> copy = data;
  ScrambleBytes(copy, 1, 0x10DCD, 0x3039);
  EXPECT_NE(copy, data);
  UnscrambleBytes(copy, 1, 0x10DCD, 0x3039);
  EXPECT_EQ(copy, data);
  // Two calls on one Scrambler continue the stream.
  std::vector<uint8_t> whole = data, split = data;
  ScrambleBytes(whole, 99, 5, 7);
  Scrambler s(99, 5, 7);
  s.Scramble(std::span<uint8_t>(split).first(300));
  s.Scramble(std::span<uint8_t>(split).subspan(300));
  EXPECT_EQ(split, whole);
}

TEST(Password, EmptyPlainAndRoundTrip) {
  EXPECT_EQ(ScramblePasswordText("ISP", "user", "", 0xDEADBEEF), "0");
  EXPECT_EQ(ScramblePassword("ISP", "user", ""), "$0");
  EXPECT_EQ(DecodePassword("$0", "ISP", "user"), "");
  EXPECT_EQ(DecodePassword("", "ISP", "user"), "");
  EXPECT_EQ(DecodePassword("*plain text", "ISP", "user"), "plain text");
  EXPECT_EQ(DecodePassword("*", "ISP", "user"), "");

  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    std::string password(rng() % 128, '\0');
    for (char& c : password) c = static_cast<char>(rng());
    std::string entry = round % 3 ? "Provider" : "";
    std::string user = round % 5 ? "\xff"
                                   "me"
                                 : "";
    std::string written = ScramblePassword(entry, user, password);
    ASSERT_EQ(written[0], '$');
    EXPECT_EQ(DecodePassword(written, entry, user), password) << round;
    uint32_t key = static_cast<uint32_t>(rng());
    EXPECT_EQ(DecodePasswordWithKey(ScramblePasswordText(entry, user, password, kFixedPasswordKey),
                                    entry, user, key),
              password);
  }
}

TEST(Password, HostileValuesDecodeWithoutFault) {
  // Length byte larger than the data: what is there.
  EXPECT_EQ(DecodePasswordWithKey("$FF", "e", "u", 1).size(), 0u);
  EXPECT_EQ(DecodePasswordWithKey("$05AB", "e", "u", 1).size(), 1u);
  // Non-hex pairs read as 0 bytes: "zz" as the length gives nothing.
  EXPECT_EQ(DecodePasswordWithKey("zz0102", "e", "u", 1), "");
  EXPECT_EQ(DecodePasswordWithKey("02zz41", "e", "u", 1).size(), 2u);
  EXPECT_EQ(DecodePasswordWithKey("$", "e", "u", 1), "");
}

}  // namespace
}  // namespace netrove
