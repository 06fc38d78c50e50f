#include "runtime/terminal_screen.h"

#include <gtest/gtest.h>

#include <string>

namespace netrove {
namespace {

constexpr const char* kEol = "\x1b[K";

std::string Row(const std::string& text) { return "\r" + text + kEol; }

TEST(ScreenWriter, LogLinesScrollAboveTheStatusLine) {
  ScreenWriter s;
  s.SetWidth(80);
  s.LogLine("Starting services");
  EXPECT_EQ(s.TakeOutput(), Row("Starting services") + "\n");
  EXPECT_FALSE(s.MidLine());

  // Many status updates between two flushes cost one redraw.
  s.Status("Waiting...(3)");
  s.Status("Waiting...(2)");
  EXPECT_TRUE(s.MidLine());
  EXPECT_EQ(s.TakeOutput(), Row("Waiting...(2)"));
  EXPECT_FALSE(s.Dirty());

  // A log line overwrites the status line and the status comes back below.
  s.LogLine("Dialing...");
  EXPECT_EQ(s.TakeOutput(), Row("Dialing...") + "\n" + Row("Waiting...(2)"));

  // Ending the status line leaves it standing; the next line starts fresh.
  s.EndStatus();
  EXPECT_EQ(s.TakeOutput(), "\n");
  EXPECT_FALSE(s.MidLine());
  s.LogLine("Disconnected");
  EXPECT_EQ(s.TakeOutput(), Row("Disconnected") + "\n");

  // A status line that was never flushed is drawn when it is ended.
  s.Status("Time: 00:00:05");
  s.EndStatus();
  EXPECT_EQ(s.TakeOutput(), Row("Time: 00:00:05") + "\n");
}

TEST(ScreenWriter, PlainTextTakesTheStatusRow) {
  ScreenWriter s;
  s.Status("On-Line 00:01:00");
  EXPECT_EQ(s.TakeOutput(), Row("On-Line 00:01:00"));
  s.Plain("Exiting....\n");
  EXPECT_EQ(s.TakeOutput(), "\r\x1b[KExiting....\n" + Row("On-Line 00:01:00"));
  // An unfinished plain line keeps the status line away until it is
  // rewritten.
  s.Plain("Name: ");
  EXPECT_EQ(s.TakeOutput(), "\r\x1b[KName: ");
  EXPECT_TRUE(s.MidLine());
  EXPECT_FALSE(s.Dirty());
  s.Status("x");
  EXPECT_EQ(s.TakeOutput(), Row("x"));
}

TEST(ScreenWriter, RowsAreCutToTheTerminalWidth) {
  ScreenWriter s;
  s.SetWidth(10);
  s.LogLine("0123456789ABCDEF");
  EXPECT_EQ(s.TakeOutput(), Row("012345678") + "\n");
  s.SetWidth(120);
  std::string long_line(200, 'x');
  s.Status(long_line);
  EXPECT_EQ(s.TakeOutput(), Row(std::string(119, 'x')));
  // Columns, not bytes: nine marks of three bytes each fit in ten columns.
  EXPECT_EQ(ScreenWriter::FitRow(std::string(12, '\xfe'), 9, true).size(), 27u);
}

TEST(ScreenWriter, BytesAreMadeSafeForTheTerminal) {
  struct Case {
    const char* what;
    std::string in;
    bool utf8;
    std::string out;
  } cases[] = {
      {"time-stamp mark", "05/03 09:07 \xfe Dialing...", true, "05/03 09:07 \u25a0 Dialing..."},
      {"mark without UTF-8", "a \xfe b", false, "a * b"},
      {"raw C1 controls",
       "a\x85\x9b"
       "b",
       true, "a??b"},
      {"raw C1 without UTF-8",
       "a\x9b"
       "b",
       false, "a?b"},
      {"encoded C1 control",
       "a\xc2\x9b"
       "b",
       true, "a??b"},
      {"escape and controls", "a\x1b]0;x\x07\tb", true, "a?]0;x?b"},
      {"well-formed UTF-8", "caf\xc3\xa9 \xe2\x82\xac", true, "caf\xc3\xa9 \xe2\x82\xac"},
      {"Latin-1 on a UTF-8 terminal", "caf\xe9", true, "caf?"},
      {"Latin-1 on an 8-bit terminal", "caf\xe9", false, "caf\xe9"},
      {"overlong encoding", "\xc0\xaf\xe0\x80\xaf", true, "?????"},
      {"truncated sequence", "x\xe2\x82", true, "x??"},
  };
  for (const auto& c : cases) EXPECT_EQ(ScreenWriter::FitRow(c.in, 200, c.utf8), c.out) << c.what;

  // Plain text keeps its line layout but no other controls.
  EXPECT_EQ(ScreenWriter::SafeText("a\tb\r\nc\x1b[2J\x07", true), "a\tb\r\nc?[2J");

  ScreenWriter s;
  s.Title("On-Line 00:00:01 (\x07\x1b\\evil)");
  EXPECT_EQ(s.TakeOutput(), "\x1b]0;On-Line 00:00:01 (?\\evil)\x07");
}

TEST(ScreenWriter, PendingOutputIsBounded) {
  ScreenWriter s;
  for (int i = 0; i < 100; ++i) s.LogLine("line");
  EXPECT_GT(s.PendingSize(), 0u);
  s.Status("status");
  s.DropPending();
  std::string out = s.TakeOutput();
  EXPECT_EQ(out.find("line"), std::string::npos);
  EXPECT_NE(out.find("(console output dropped)"), std::string::npos);
  EXPECT_NE(out.find(Row("status")), std::string::npos);
}

}  // namespace
}  // namespace netrove
