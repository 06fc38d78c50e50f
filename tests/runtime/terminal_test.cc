// The terminal console: key decoding, the screen writer's bytes, and the
// console object on a pseudo-terminal, driven like a user.
#include "runtime/terminal.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>

#include "lib/test_context.h"
#include "runtime/terminal_keys.h"
#include "runtime/terminal_screen.h"

namespace netrove {
namespace {

// Feeds `input` at time 0 and collects the keys complete a second later.
std::vector<int> Decode(const std::string& input) {
  KeyDecoder d;
  d.Feed(input, 0);
  std::vector<int> codes;
  while (auto key = d.Take(1000)) codes.push_back(key->code);
  return codes;
}

TEST(KeyDecoder, KeysAsReadKeyReportsThem) {
  const std::tuple<const char*, std::string, std::vector<int>> cases[] = {
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
      {"stray bytes", "\x80\xffz", {'z'}},
      {"broken UTF-8 then letter", "\xc3z", {'z'}},
  };
  for (const auto& [what, input, codes] : cases) EXPECT_EQ(Decode(input), codes) << what;
  // An endless parameter run ends as keys without a character, never ESC.
  std::vector<int> hostile = Decode("\x1b[" + std::string(500, '1') + "x");
  EXPECT_EQ(hostile.at(0), 0);
  EXPECT_EQ(std::count(hostile.begin(), hostile.end(), 27), 0);
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
  // A title cannot end early nor carry controls.
  s.Title("On-Line 00:00:01 (\x07\x1b\\evil)");
  EXPECT_EQ(s.TakeOutput(), "\x1b]0;On-Line 00:00:01 (?\\evil)\x07");
}

TEST(ScreenWriter, BytesAreMadeSafeForTheTerminal) {
  const std::tuple<const char*, std::string, bool, std::string> cases[] = {
      {"time-stamp mark", "05/03 09:07 \xfe Dialing...", true, "05/03 09:07 \u25a0 Dialing..."},
      {"mark without UTF-8", "a \xfe z", false, "a * z"},
      {"raw C1 controls", "a\x85\x9bz", true, "a??z"},
      {"raw C1 without UTF-8", "a\x9bz", false, "a?z"},
      {"encoded C1 control", "a\xc2\x9bz", true, "a??z"},
      {"escape and controls", "a\x1b]0;x\x07\tz", true, "a?]0;x?z"},
      {"well-formed UTF-8", "caf\xc3\xa9 \xe2\x82\xac", true, "caf\xc3\xa9 \xe2\x82\xac"},
      {"Latin-1 on a UTF-8 terminal", "caf\xe9", true, "caf?"},
      {"Latin-1 on an 8-bit terminal", "caf\xe9", false, "caf\xe9"},
      {"overlong encoding", "\xc0\xaf\xe0\x80\xaf", true, "?????"},
      {"truncated sequence", "x\xe2\x82", true, "x??"},
  };
  for (const auto& [what, in, utf8, out] : cases)
    EXPECT_EQ(ScreenWriter::FitRow(in, 200, utf8), out) << what;
  // Columns, not bytes: nine marks of three bytes each fill nine columns.
  std::string nine_marks;
  for (int i = 0; i < 9; ++i) nine_marks += "\u25a0";
  EXPECT_EQ(ScreenWriter::FitRow(std::string(12, '\xfe'), 9, true), nine_marks);
  // Plain text keeps its line layout but no other controls.
  EXPECT_EQ(ScreenWriter::SafeText("a\tb\r\nc\x1b[2J\x07", true), "a\tb\r\nc?[2J");
}

// The console object on the slave side of a pseudo-terminal of 100
// columns, in this process: it draws, reads keys and lines, and puts the
// terminal back; after a hang-up the key input is gone rather than a
// stream of keys.
TEST(Console, DrawsReadsKeysAndLinesRestoresTheTerminalAndSeesAHangUp) {
  int master = -1, slave = -1;
  struct winsize size = {.ws_row = 20, .ws_col = 100, .ws_xpixel = 0, .ws_ypixel = 0};
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
  std::string out;
  auto type = [&](const std::string& keys) { (void)!write(master, keys.data(), keys.size()); };
  auto shows = [&](const std::string& text) {  // reads the master side, for 5 s at most
    char buf[512];
    for (auto start = testing::SteadyClock::now(); out.find(text) == std::string::npos;) {
      struct pollfd p = {master, POLLIN, 0};
      ssize_t n = poll(&p, 1, 50) > 0 ? read(master, buf, sizeof buf) : 0;
      if (n < 0 || testing::MsSince(start) > 5000) return false;
      out.append(buf, static_cast<size_t>(n));
    }
    return true;
  };
  setenv("LANG", "C.UTF-8", 1);
  unsetenv("LC_ALL");
  unsetenv("LC_CTYPE");
  testing::FakeEnv env;
  testing::FailingTaskFailures failures;
  Tasks tasks(env, failures);
  Console console(tasks, ConsoleIo{slave, slave, true});
  console.Start();
  console.SetTitle("Netrove");
  console.LogLine(std::string(150, 'w'));  // cut to the real width before any flush
  console.StatusLine("Waiting...(3)");
  console.LogLine("05/03 09:07 \xfe Dialing...");
  console.Flush();
  // The log line comes out whole, with the time-stamp mark as a square,
  // and the status line is drawn again below it (LF becomes CR LF); rows
  // are cut to the width less one column.
  EXPECT_TRUE(shows("\r05/03 09:07 \u25a0 Dialing...\x1b[K\r\n\rWaiting...(3)\x1b[K")) << out;
  EXPECT_TRUE(shows("\r" + std::string(99, 'w') + "\x1b[K")) << out;
  EXPECT_EQ(out.find(std::string(100, 'w')), std::string::npos);
  EXPECT_NE(out.find("\x1b]0;Netrove\x07"), std::string::npos);
  // Raw mode: no line editing, no echo; Ctrl-C still signals and "\n"
  // still starts a line.
  struct termios t;
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_TRUE((t.c_lflag & ISIG) && (t.c_oflag & OPOST));
  // An arrow key is a key without a character, not ESC; a lone ESC is ESC.
  type("\x1b[Ay");
  EXPECT_EQ(console.ReadKey(), 0);
  EXPECT_EQ(console.ReadKey(), 'y');
  type("\x1b");
  EXPECT_EQ(console.ReadKey(), 27);
  // Line input echoes what is typed and handles Backspace; a given start
  // stands already typed.
  type(
      "ab\x7f"
      "c\r");
  EXPECT_EQ(console.ReadLine("x"), "xac");
  EXPECT_TRUE(shows("xab\b \bc\r\n")) << out;
  EXPECT_EQ(out.find('y'), std::string::npos) << "typed keys were echoed";
  console.Shutdown();
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
  KeyReader reader(slave);
  EXPECT_FALSE(reader.Poll() || reader.Closed());
  close(master);
  EXPECT_FALSE(reader.Poll());
  EXPECT_TRUE(reader.Closed());
  close(slave);
}

}  // namespace
}  // namespace netrove
