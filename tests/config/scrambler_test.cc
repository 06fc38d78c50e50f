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
  EXPECT_EQ(ScramblePasswordText("AB", "u", "hi", 0x12345678), "23E31");
  struct Case {
    const char *value, *entry, *user;
    bool gives_hi;
  } cases[] = {
      {"$23E31", "AB", "u", true},  {"$023e31", "AB", "u", true},
      {"23E31", "AB", "u", false},  // without "$": the fixed key
      {"$23E31", "BB", "u", false}, {"$23E31", "AB", "v", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DecodePasswordWithKey(c.value, c.entry, c.user, 0x12345678) == "hi", c.gives_hi)
        << c.value << " " << c.entry << " " << c.user;
}

TEST(Scrambler, StreamsContinueAcrossCallsAndRoundTrip) {
  std::vector<uint8_t> data(1000);
  std::mt19937 rng(7);
  for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> whole = data, split = data;
  ScrambleBytes(whole, 99, 5, 7);
  EXPECT_NE(whole, data);
  Scrambler s(99, 5, 7);
  s.Scramble(std::span<uint8_t>(split).first(300));
  s.Scramble(std::span<uint8_t>(split).subspan(300));
  EXPECT_EQ(split, whole);
  UnscrambleBytes(whole, 99, 5, 7);
  EXPECT_EQ(whole, data);
}

TEST(Password, PlainEmptyAndRandomRoundTrips) {
  const uint32_t kKey = 0x5eed1234;  // a volume's key
  const std::pair<const char*, const char*> cases[] = {
      {"$0", ""}, {"", ""}, {"*plain text", "plain text"}, {"*", ""}};
  for (auto& [value, want] : cases)
    EXPECT_EQ(DecodePasswordWithKey(value, "ISP", "user", kKey), want) << value;
  EXPECT_EQ(ScramblePassword("ISP", "user", "", kKey), "$0");
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    std::string password(rng() % 128, '\0');
    for (char& c : password) c = static_cast<char>(rng());
    std::string entry = round % 3 ? "Provider" : "";
    std::string user = round % 5 ? std::string("\xff") + "me" : "";
    std::string written = ScramblePassword(entry, user, password, kKey);
    ASSERT_EQ(written[0], '$');
    EXPECT_EQ(DecodePasswordWithKey(written, entry, user, kKey), password) << round;
    EXPECT_EQ(DecodePasswordWithKey(ScramblePasswordText(entry, user, password, kFixedPasswordKey),
                                    entry, user, static_cast<uint32_t>(rng())),
              password);
  }
}

TEST(Password, HostileValuesDecodeWithoutFault) {
  // A length byte beyond the data gives what is there; non-hex pairs read as 0.
  const std::pair<const char*, size_t> cases[] = {
      {"$FF", 0}, {"$05AB", 1}, {"zz0102", 0}, {"02zz41", 2}, {"$", 0}};
  for (auto& [value, size] : cases)
    EXPECT_EQ(DecodePasswordWithKey(value, "e", "u", 1).size(), size) << value;
}

}  // namespace
}  // namespace netrove
