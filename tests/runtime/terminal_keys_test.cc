#include "runtime/terminal_keys.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "runtime/terminal.h"

namespace netrove {
namespace {

// Feeds `input` at time 0 and collects the keys complete at `at_ms`.
std::vector<int> Decode(const std::string& input, int64_t at_ms = 1000) {
  KeyDecoder d;
  d.Feed(input, 0);
  std::vector<int> codes;
  while (auto key = d.Take(at_ms)) codes.push_back(key->code);
  return codes;
}

TEST(KeyDecoder, KeysAsReadKeyReportsThem) {
  struct Case {
    const char* what;
    std::string input;
    std::vector<int> codes;
  } cases[] = {
      {"letters and signs", "aS +-", {'a', 'S', ' ', '+', '-'}},
      {"enter and backspace", "\r\n\x7f\b", {13, 13, 8, 8}},
      {"arrows", "\x1b[A\x1b[B\x1b[C\x1b[D", {0, 0, 0, 0}},
      {"ctrl+arrow", "\x1b[1;5C", {0}},
      {"application arrows and F1..F4", "\x1bOA\x1bOP\x1bOS", {0, 0, 0}},
      {"F5 and F12", "\x1b[15~\x1b[24~", {0, 0}},
      {"linux console F1", "\x1b[[A", {0}},
      {"arrow then letter", "\x1b[Aq", {0, 'q'}},
      {"alt+letter", "\x1bx", {0}},
      {"lone ESC", "\x1b", {27}},
      {"ESC ESC", "\x1b\x1b", {27, 27}},
      {"latin small e acute", "\xc3\xa9", {0xe9}},
      {"euro sign", "\xe2\x82\xac", {0}},
      {"stray bytes",
       "\x80\xff"
       "a",
       {'a'}},
      {"broken UTF-8 then letter", "\xc3z", {'z'}},
  };
  for (const auto& c : cases) EXPECT_EQ(Decode(c.input), c.codes) << c.what;
}

TEST(KeyDecoder, PartialSequencesAreNoKeysYet) {
  KeyDecoder d;
  d.Feed("\x1b", 0);
  EXPECT_FALSE(d.HasKey(10));  // ESC alone, but a sequence may follow
  d.Feed("[1;5", 20);
  EXPECT_FALSE(d.HasKey(60));  // past the lone-ESC time: still a sequence
  d.Feed("D", 70);
  ASSERT_TRUE(d.HasKey(70));
  EXPECT_EQ(d.Take(70)->code, 0);
  EXPECT_FALSE(d.HasKey(5000));

  d.Feed("\x1b", 100);
  EXPECT_FALSE(d.HasKey(100 + KeyDecoder::kLoneEscMs - 1));
  EXPECT_TRUE(d.HasKey(100 + KeyDecoder::kLoneEscMs));
  EXPECT_EQ(d.Take(200)->code, 27);

  // A sequence cut short is given up as one key without a character.
  d.Feed("\x1b[12", 1000);
  EXPECT_FALSE(d.HasKey(1000 + KeyDecoder::kSequenceMs - 1));
  EXPECT_EQ(d.Take(1000 + KeyDecoder::kSequenceMs)->code, 0);
}

TEST(KeyDecoder, HostileInputIsBounded) {
  // An endless parameter run ends as one key once it is too long; what
  // follows is read normally.
  std::string input = "\x1b[" + std::string(500, '1') + "x";
  std::vector<int> codes = Decode(input);
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.front(), 0);
  EXPECT_NE(codes.front(), 27);
  for (int code : codes) EXPECT_NE(code, 27);
  EXPECT_LE(codes.size(), 500 / KeyDecoder::kMaxSequence + 470);

  KeyDecoder d;
  d.Feed("\xc3\xa9", 0);
  auto key = d.Take(0);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->text, "\xc3\xa9");
}

// A pseudo-terminal pair: what is written to the master arrives at the
// slave as a user's key presses would.
class PtyKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(EnterRawMode(slave_));
  }
  void TearDown() override {
    RestoreTerminal();
    if (master_ >= 0) close(master_);
    close(slave_);
  }
  void Type(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // Codes of the keys complete after `bytes` arrived.
  std::vector<int> KeysAfter(KeyReader& reader, const std::string& bytes) {
    Type(bytes);
    std::vector<int> codes;
    while (reader.Poll()) codes.push_back(reader.Take()->code);
    return codes;
  }
  int master_ = -1, slave_ = -1;
};

TEST_F(PtyKeys, DecodesTypedKeys) {
  KeyReader reader(slave_);
  EXPECT_FALSE(reader.Poll());
  EXPECT_EQ(KeysAfter(reader, "\x1b[A"), std::vector<int>{0});
  EXPECT_EQ(KeysAfter(reader, "\x1b[15~"), std::vector<int>{0});
  EXPECT_EQ(KeysAfter(reader, "\x1bOQ"), std::vector<int>{0});
  EXPECT_EQ(KeysAfter(reader, "\x1bx"), std::vector<int>{0});
  EXPECT_EQ(KeysAfter(reader, "q +"), (std::vector<int>{'q', ' ', '+'}));
  // Enter arrives as CR: input CR-to-LF mapping is off.
  EXPECT_EQ(KeysAfter(reader, "\r"), std::vector<int>{13});

  // A lone ESC is a key once no byte followed it for a moment.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KeysAfter(reader, "\x1b"), std::vector<int>{27});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

  // Half of an arrow key is no key; the rest completes it.
  EXPECT_TRUE(KeysAfter(reader, "\x1b[").empty());
  EXPECT_EQ(KeysAfter(reader, "B"), std::vector<int>{0});
  EXPECT_FALSE(reader.Closed());
}

TEST_F(PtyKeys, HangUpEndsTheInput) {
  KeyReader reader(slave_);
  Type("q");
  ASSERT_TRUE(reader.Poll());
  EXPECT_EQ(reader.Take()->code, 'q');
  close(master_);
  master_ = -1;
  EXPECT_FALSE(reader.Poll());
  EXPECT_TRUE(reader.Closed());
}

TEST_F(PtyKeys, RawModeHasNoEchoAndIsRestored) {
  struct termios raw;
  ASSERT_EQ(tcgetattr(slave_, &raw), 0);
  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_NE(raw.c_lflag & ISIG, 0u);   // Ctrl-C still signals
  EXPECT_NE(raw.c_oflag & OPOST, 0u);  // "\n" still starts a line
  EXPECT_TRUE(TerminalRaw());

  Type("abc");
  struct pollfd p = {master_, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 50), 0) << "typed keys were echoed";

  EXPECT_TRUE(RestoreTerminal());
  EXPECT_FALSE(RestoreTerminal());
  EXPECT_FALSE(TerminalRaw());
  struct termios restored;
  ASSERT_EQ(tcgetattr(slave_, &restored), 0);
  EXPECT_EQ(restored.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
}

TEST(Terminal, WidthAndLocale) {
  int master, slave;
  struct winsize size = {};
  size.ws_col = 132;
  size.ws_row = 40;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
  EXPECT_EQ(TerminalWidth(slave), 132);
  close(master);
  close(slave);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(TerminalWidth(fds[1]), 80);
  EXPECT_FALSE(EnterRawMode(fds[0]));
  close(fds[0]);
  close(fds[1]);

  setenv("LC_ALL", "", 1);
  setenv("LC_CTYPE", "en_GB.UTF-8", 1);
  EXPECT_TRUE(LocaleIsUtf8());
  setenv("LC_ALL", "C", 1);
  EXPECT_FALSE(LocaleIsUtf8());
  unsetenv("LC_ALL");
  unsetenv("LC_CTYPE");
}

}  // namespace
}  // namespace netrove
