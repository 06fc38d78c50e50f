// The terminal console: key decoding, the screen writer's bytes, and the
// console object on a pseudo-terminal, driven like a user.
#include "runtime/terminal.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "lib/test_context.h"
#include "runtime/console.h"
#include "runtime/terminal_keys.h"
#include "runtime/terminal_screen.h"

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
  auto check = [](const char* what, const std::string& input, std::vector<int> codes) {
    EXPECT_EQ(Decode(input), codes) << what;
  };
  check("letters and signs", "aS +-", {'a', 'S', ' ', '+', '-'});
  check("enter and backspace", "\r\n\x7f\b", {13, 13, 8, 8});
  check("arrows", "\x1b[A\x1b[B\x1b[C\x1b[D", {0, 0, 0, 0});
  check("ctrl+arrow", "\x1b[1;5C", {0});
  check("application arrows and F1..F4", "\x1bOA\x1bOP\x1bOS", {0, 0, 0});
  check("F5 and F12", "\x1b[15~\x1b[24~", {0, 0});
  check("linux console F1", "\x1b[[A", {0});
  check("arrow then letter", "\x1b[Aq", {0, 'q'});
  check("alt+letter", "\x1bx", {0});
  check("lone ESC", "\x1b", {27});
  check("ESC ESC", "\x1b\x1b", {27, 27});
  check("latin small e acute", "\xc3\xa9", {0xe9});
  check("euro sign", "\xe2\x82\xac", {0});
  check("stray bytes",
        "\x80\xff"
        "a",
        {'a'});
  check("broken UTF-8 then letter", "\xc3z", {'z'});
  // An endless parameter run ends as keys without a character, never ESC.
  std::vector<int> hostile = Decode("\x1b[" + std::string(500, '1') + "x");
  ASSERT_FALSE(hostile.empty());
  EXPECT_EQ(hostile.front(), 0);
  for (int code : hostile) EXPECT_NE(code, 27);
}

// Partial sequences are no key yet (KeyPressed stays false); a lone ESC is
// a key once nothing followed it for a moment.
TEST(KeyDecoder, PartialSequencesAreNoKeysYet) {
  KeyDecoder d;
  d.Feed("\x1b", 0);
  EXPECT_FALSE(d.HasKey(10));
  d.Feed("[1;5", 20);
  EXPECT_FALSE(d.HasKey(60));  // past the lone-ESC time: still a sequence
  d.Feed("D", 70);
  EXPECT_EQ(d.Take(70)->code, 0);
  EXPECT_FALSE(d.HasKey(5000));
  d.Feed("\x1b", 100);
  EXPECT_FALSE(d.HasKey(100 + KeyDecoder::kLoneEscMs - 1));
  EXPECT_EQ(d.Take(100 + KeyDecoder::kLoneEscMs)->code, 27);
  // A sequence cut short is given up as one key without a character.
  d.Feed("\x1b[12", 1000);
  EXPECT_FALSE(d.HasKey(1000 + KeyDecoder::kSequenceMs - 1));
  EXPECT_EQ(d.Take(1000 + KeyDecoder::kSequenceMs)->code, 0);
}

std::string Row(const std::string& text) { return "\r" + text + "\x1b[K"; }

TEST(ScreenWriter, LogLinesScrollAboveTheStatusLine) {
  ScreenWriter s;
  s.LogLine("Starting services");
  EXPECT_EQ(s.TakeOutput(), Row("Starting services") + "\n");
  // Many status updates between two flushes cost one redraw.
  s.Status("Waiting...(3)");
  s.Status("Waiting...(2)");
  EXPECT_EQ(s.TakeOutput(), Row("Waiting...(2)"));
  EXPECT_FALSE(s.Dirty());
  // A log line overwrites the status line and the status comes back below.
  s.LogLine("Dialing...");
  EXPECT_EQ(s.TakeOutput(), Row("Dialing...") + "\n" + Row("Waiting...(2)"));
  // Ending the status line leaves it standing; plain text takes the status
  // row, and an unfinished one keeps the status line away until rewritten.
  s.EndStatus();
  EXPECT_EQ(s.TakeOutput(), "\n");
  s.Status("On-Line 00:01:00");
  EXPECT_EQ(s.TakeOutput(), Row("On-Line 00:01:00"));
  s.Plain("Exiting....\n");
  EXPECT_EQ(s.TakeOutput(), "\r\x1b[KExiting....\n" + Row("On-Line 00:01:00"));
  s.Plain("Name: ");
  EXPECT_EQ(s.TakeOutput(), "\r\x1b[KName: ");
  EXPECT_FALSE(s.Dirty());
  s.Status("x");
  EXPECT_EQ(s.TakeOutput(), Row("x"));
  // Output the terminal could not take is dropped, and that is said.
  for (int i = 0; i < 100; ++i) s.LogLine("line");
  s.DropPending();
  std::string out = s.TakeOutput();
  EXPECT_EQ(out.find("line"), std::string::npos);
  EXPECT_NE(out.find("(console output dropped)"), std::string::npos);
}

TEST(ScreenWriter, BytesAreMadeSafeForTheTerminal) {
  auto check = [](const char* what, const std::string& in, bool utf8, const std::string& out) {
    EXPECT_EQ(ScreenWriter::FitRow(in, 200, utf8), out) << what;
  };
  check("time-stamp mark", "05/03 09:07 \xfe Dialing...", true, "05/03 09:07 \u25a0 Dialing...");
  check("mark without UTF-8", "a \xfe b", false, "a * b");
  check("raw C1 controls",
        "a\x85\x9b"
        "b",
        true, "a??b");
  check("raw C1 without UTF-8",
        "a\x9b"
        "b",
        false, "a?b");
  check("encoded C1 control",
        "a\xc2\x9b"
        "b",
        true, "a??b");
  check("escape and controls", "a\x1b]0;x\x07\tb", true, "a?]0;x?b");
  check("well-formed UTF-8", "caf\xc3\xa9 \xe2\x82\xac", true, "caf\xc3\xa9 \xe2\x82\xac");
  check("Latin-1 on a UTF-8 terminal", "caf\xe9", true, "caf?");
  check("Latin-1 on an 8-bit terminal", "caf\xe9", false, "caf\xe9");
  check("overlong encoding", "\xc0\xaf\xe0\x80\xaf", true, "?????");
  check("truncated sequence", "x\xe2\x82", true, "x??");
  // Columns, not bytes: nine marks of three bytes each fill nine columns.
  std::string nine_marks;
  for (int i = 0; i < 9; ++i) nine_marks += "\u25a0";
  EXPECT_EQ(ScreenWriter::FitRow(std::string(12, '\xfe'), 9, true), nine_marks);
  // Plain text keeps its line layout but no other controls; so does a title.
  EXPECT_EQ(ScreenWriter::SafeText("a\tb\r\nc\x1b[2J\x07", true), "a\tb\r\nc?[2J");
  ScreenWriter s;
  s.Title("On-Line 00:00:01 (\x07\x1b\\evil)");
  EXPECT_EQ(s.TakeOutput(), "\x1b]0;On-Line 00:00:01 (?\\evil)\x07");
}

// A pseudo-terminal pair of 100 columns: what is written to the master
// arrives at the slave as a user's key presses would.
class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    struct winsize size = {};
    size.ws_col = 100;
    size.ws_row = 20;
    ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, &size), 0);
  }
  void TearDown() override {
    if (master_ >= 0) close(master_);
    close(slave_);
  }
  void Type(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads the master side (bounded) until the output holds `text`.
  bool Shows(const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (out_.find(text) == std::string::npos) {
      struct pollfd p = {master_, POLLIN, 0};
      char buf[512];
      ssize_t n = poll(&p, 1, 50) > 0 ? read(master_, buf, sizeof buf) : 0;
      if (n < 0 || std::chrono::steady_clock::now() >= deadline) return false;
      out_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  int master_ = -1, slave_ = -1;
  std::string out_;
};

// The console object on the slave side, in this process: it draws, reads
// keys and lines, and puts the terminal back.
TEST_F(PtyTest, ConsoleDrawsReadsKeysAndLinesAndRestoresTheTerminal) {
  setenv("LANG", "C.UTF-8", 1);
  unsetenv("LC_ALL");
  unsetenv("LC_CTYPE");
  testing::FakeEnv env;
  testing::FailingTaskFailures failures;
  Tasks tasks(env, failures);
  Console console(tasks, ConsoleIo{slave_, slave_, true});
  console.Start();
  console.SetTitle("Netrove");
  console.LogLine(std::string(150, 'w'));  // cut to the real width before any flush
  console.StatusLine("Waiting...(3)");
  console.LogLine("05/03 09:07 \xfe Dialing...");
  console.Flush();
  // The log line comes out whole, with the time-stamp mark as a square,
  // and the status line is drawn again below it (LF becomes CR LF); rows
  // are cut to the width less one column.
  EXPECT_TRUE(Shows("\r05/03 09:07 \u25a0 Dialing...\x1b[K\r\n\rWaiting...(3)\x1b[K")) << out_;
  EXPECT_TRUE(Shows("\r" + std::string(99, 'w') + "\x1b[K")) << out_;
  EXPECT_EQ(out_.find(std::string(100, 'w')), std::string::npos);
  EXPECT_NE(out_.find("\x1b]0;Netrove\x07"), std::string::npos);
  // Raw mode: no line editing, no echo; Ctrl-C still signals and "\n"
  // still starts a line.
  struct termios t;
  ASSERT_EQ(tcgetattr(slave_, &t), 0);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_TRUE((t.c_lflag & ISIG) && (t.c_oflag & OPOST));
  // An arrow key is a key without a character, not ESC; a lone ESC is ESC.
  Type("\x1b[Ay");
  EXPECT_EQ(console.ReadKey(), 0);
  EXPECT_EQ(console.ReadKey(), 'y');
  Type("\x1b");
  EXPECT_EQ(console.ReadKey(), 27);
  // Line input echoes what is typed and handles Backspace; a given start
  // stands already typed.
  Type("ab\x7f" "c\r");
  EXPECT_EQ(console.ReadLine("x"), "xac");
  EXPECT_TRUE(Shows("xab\b \bc\r\n")) << out_;
  EXPECT_EQ(out_.find('y'), std::string::npos) << "typed keys were echoed";
  console.Shutdown();
  ASSERT_EQ(tcgetattr(slave_, &t), 0);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
}

// After a hang-up the key input is gone rather than a stream of keys.
TEST_F(PtyTest, HangUpEndsTheKeyInput) {
  KeyReader reader(slave_);
  EXPECT_FALSE(reader.Poll());
  EXPECT_FALSE(reader.Closed());
  close(master_);
  master_ = -1;
  EXPECT_FALSE(reader.Poll());
  EXPECT_TRUE(reader.Closed());
}

}  // namespace
}  // namespace netrove
