// The terminal console: key decoding, the screen writer, and the console
// object on a pseudo-terminal.
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

// Steps on a writer, each with the output taken after it ("" : none taken).
TEST(ScreenWriter, LogLinesScrollAboveTheStatusLine) {
  using W = ScreenWriter;
  const std::tuple<void (W::*)(std::string_view), const char*, std::string> steps[] = {
      {&W::LogLine, "Starting services", Row("Starting services") + "\n"},
      {&W::Status, "Waiting...(3)", ""},  // status updates between flushes: one redraw
      {&W::Status, "Waiting...(2)", Row("Waiting...(2)")},
      // A log line overwrites the status line and the status comes back below.
      {&W::LogLine, "Dialing...", Row("Dialing...") + "\n" + Row("Waiting...(2)")},
      {nullptr, "EndStatus", "\n"},  // leaves it standing
      {&W::Status, "On-Line 00:01:00", Row("On-Line 00:01:00")},
      // Plain text takes the status row; an unfinished one keeps the status
      // line away until it is rewritten.
      {&W::Plain, "Exiting....\n", "\r\x1b[KExiting....\n" + Row("On-Line 00:01:00")},
      {&W::Plain, "Name: ", "\r\x1b[KName: "},
      {&W::Status, "x", Row("x")},
      // A title cannot end early nor carry controls.
      {&W::Title, "On-Line (\x07\x1b\\evil)", "\x1b]0;On-Line (?\\evil)\x07"}};
  ScreenWriter s;
  for (const auto& [step, text, want] : steps) {
    step ? (s.*step)(text) : s.EndStatus();
    if (want.empty()) continue;
    EXPECT_EQ(s.TakeOutput(), want) << text;
    EXPECT_FALSE(s.Dirty()) << text;
  }
  // Output the terminal could not take is dropped, and that is said.
  for (int i = 0; i < 100; ++i) s.LogLine("line");
  s.DropPending();
  std::string out = s.TakeOutput();
  EXPECT_EQ(out.find("line"), std::string::npos);
  EXPECT_NE(out.find("(console output dropped)"), std::string::npos);
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

// The console on a pseudo-terminal of 100 columns draws and reads lines;
// after a hang-up the key input is gone rather than a stream of keys.
// (Keys and raw mode are checked end to end: tests/cases/wait.)
TEST(Console, DrawsReadsLinesAndSeesAHangUp) {
  int master = -1, slave = -1;
  struct winsize size = {.ws_row = 20, .ws_col = 100, .ws_xpixel = 0, .ws_ypixel = 0};
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
  std::string out;
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
  setenv("LC_ALL", "C.UTF-8", 1);
  testing::TestContext ctx;
  Console console(ctx.tasks, ConsoleIo{slave, slave, true});
  console.Start();
  console.SetTitle("Netrove");
  console.LogLine(std::string(150, 'w'));  // cut to the real width before any flush
  console.StatusLine("Waiting...(3)");
  console.LogLine("05/03 09:07 \xfe Dialing...");
  console.Flush();
  // The log line, its mark as a square, and the status line again below it
  // (LF becomes CR LF); rows are cut to the width less one column.
  EXPECT_TRUE(shows("\r05/03 09:07 \u25a0 Dialing...\x1b[K\r\n\rWaiting...(3)\x1b[K")) << out;
  EXPECT_TRUE(shows("\r" + std::string(99, 'w') + "\x1b[K")) << out;
  EXPECT_EQ(out.find(std::string(100, 'w')), std::string::npos);
  EXPECT_NE(out.find("\x1b]0;Netrove\x07"), std::string::npos);
  // Raw mode (checked end to end) still lets Ctrl-C signal and "\n" start
  // a line.
  struct termios t;
  EXPECT_TRUE(tcgetattr(slave, &t) == 0 && (t.c_lflag & ISIG) && (t.c_oflag & OPOST));
  // Line input echoes what is typed and handles Backspace; a given start
  // stands already typed.
  ASSERT_EQ(write(master, "ab\x7fz\r", 5), 5);
  EXPECT_EQ(console.ReadLine("x"), "xaz");
  EXPECT_TRUE(shows("xab\b \bz\r\n")) << out;
  console.Shutdown();
  KeyReader reader(slave);
  EXPECT_FALSE(reader.Poll() || reader.Closed());
  close(master);
  EXPECT_FALSE(reader.Poll());
  EXPECT_TRUE(reader.Closed());
  close(slave);
}

}  // namespace
}  // namespace netrove
