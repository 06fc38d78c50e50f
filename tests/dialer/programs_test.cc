// Program lines, and programs started for real from the scratch directory.
#include "dialer/programs.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "dialer/events.h"
#include "lib/test_context.h"

namespace netrove {
namespace {

using Strings = std::vector<std::string>;

TEST(ProgramLineTest, OptionsQuotesAndParameters) {
  struct Case {
    const char* line;
    WindowMode mode;
    const char* program;
    const char* parameters;
  } cases[] = {
      {"notes.txt", WindowMode::kNormal, "notes.txt", ""},
      {"/M xterm -e top", WindowMode::kMinimised, "xterm", "-e top"},
      {"/max  player  song.ogg ", WindowMode::kMaximised, "player", "song.ogg"},
      {"/r\tviewer", WindowMode::kRestored, "viewer", ""},
      {"/X viewer a", WindowMode::kNormal, "viewer", "a"},  // unknown option dropped
      {"/tool a", WindowMode::kNormal, "/tool", "a"},       // ... unless it is a file
      {"/usr/bin/env A=1 true", WindowMode::kNormal, "/usr/bin/env", "A=1 true"},
      {"/M \"/opt/my tools/run it.sh\" \"a b\" c", WindowMode::kMinimised,
       "/opt/my tools/run it.sh", "\"a b\" c"},
      {"\"/opt/open ended", WindowMode::kNormal, "/opt/open ended", ""},
  };
  auto is_file = [](const std::string& path) { return path == "/tool"; };
  for (const Case& c : cases) {
    auto parsed = ParseProgramLine(c.line, is_file);
    ASSERT_TRUE(parsed.has_value()) << c.line;
    EXPECT_EQ(parsed->mode, c.mode) << c.line;
    EXPECT_EQ(parsed->program, c.program) << c.line;
    EXPECT_EQ(parsed->parameters, c.parameters) << c.line;
  }
  for (const char* empty : {"", "   ", "/M", "/MAX   ", "\"\" x"})
    EXPECT_FALSE(ParseProgramLine(empty, is_file).has_value()) << empty;

  EXPECT_EQ(SplitArguments("  a\t b  "), (Strings{"a", "b"}));
  EXPECT_EQ(SplitArguments("\"b c\" d\"\"e \"\" f\"g h\""), (Strings{"b c", "de", "", "fg h"}));
  EXPECT_EQ(SplitArguments("$HOME;rm -rf `x` | y"), (Strings{"$HOME;rm", "-rf", "`x`", "|", "y"}));
  EXPECT_EQ(SplitArguments("\"never closed"), (Strings{"never closed"}));
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "w ";
  EXPECT_EQ(SplitArguments(many).size(), kMaxArguments);
}

class StartedPrograms : public ::testing::Test, public SessionControl, public MacroTasks {
 protected:
  void Abort() override {}
  void HangUp() override {}
  void StartUrlCheck(const std::string&) override {}
  void StartGetMail() override {}
  void StartAutoUpdate() override {}
  // An executable shell script in the scratch directory; its full path.
  std::string Script(const std::string& name, const std::string& body) {
    EXPECT_TRUE(WriteFileAtomically(c_.env, name, "#!/bin/sh\n" + body + "\n", 0755, false));
    return c_.scratch / name;
  }
  std::string Read(const std::string& name) { return c_.env.ReadFile(name, 4096).value_or(""); }
  static bool Gone(pid_t pid) { return kill(pid, 0) == -1 && errno == ESRCH; }

  testing::TestContext c_;
  FlagFiles flags_{c_.env};
  Events events_{c_.env, c_.tasks, c_.log, c_.config, c_.shared, flags_, *this, *this};
  Programs& programs_ = events_.programs();
};

// The words of a quoted program path with blanks arrive as written, only the standard descriptors
// are inherited (here a listening socket lacks close-on-exec), and ended programs are collected.
TEST_F(StartedPrograms,
       WordsArriveUninterpretedNothingIsInheritedAllAreReapedDocumentsGoToXdgOpen) {
  uint16_t port = 0;
  int listener = testing::BindLoopback(port);
  ASSERT_EQ(fcntl(listener, F_SETFD, 0), 0);
  std::string script = Script("write marker.sh",
                              "[ $# -gt 0 ] || exit 0\nd=$(dirname \"$0\")\n"
                              "{ for a in \"$@\"; do echo \"[$a]\"; done\n"
                              "  for f in /proc/$$/fd/*; do readlink \"$f\"; done; } > \"$d/out\"\n"
                              "mv \"$d/out\" \"$d/marker\"");
  std::string line = "/M \"" + script + "\" one \"two words\" $HOME;touch `pwd`/x *";
  events_.ExecuteCommand(line);
  EXPECT_EQ(c_.Lines(), Strings{"Execute " + line});
  std::vector<pid_t> pids;
  for (int i = 0; i < 3; ++i) pids.push_back(programs_.Start("\"" + script + "\""));
  EXPECT_GT(*std::min_element(pids.begin(), pids.end()), 0);
  close(listener);
  ASSERT_TRUE(testing::WaitUntil([&] { return FileExists(c_.env, "marker"); }, 5000));
  std::string marker = Read("marker");
  EXPECT_EQ(marker.rfind("[one]\n[two words]\n[$HOME;touch]\n[`pwd`/x]\n[*]\n/dev/null\n", 0), 0u)
      << marker;
  EXPECT_EQ(marker.find("socket:"), std::string::npos) << marker;
  // A zombie still answers kill(pid, 0); a collected process does not.
  EXPECT_TRUE(testing::WaitUntil(
      [&] { return programs_.NotReaped() == 0 && std::all_of(pids.begin(), pids.end(), &Gone); },
      5000));
  // Documents and URLs go to xdg-open when there is one.
  ASSERT_TRUE(WriteFileAtomically(c_.env, "doc.txt", "text"));
  std::string saved = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  setenv("PATH", (c_.scratch / "bin").c_str(), 1);
  EXPECT_EQ(programs_.Start(c_.scratch / "doc.txt"), -1);  // no xdg-open
  ASSERT_TRUE(c_.env.MakeDirectory("bin", 0755));
  Script("bin/xdg-open", "echo \"$@\" >> \"" + c_.scratch / "opened" + "\"");
  pid_t a = programs_.Start("\"" + c_.scratch / "doc.txt" + "\" ignored");
  pid_t b = programs_.Start("http://127.0.0.1/page");
  setenv("PATH", saved.c_str(), 1);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  ASSERT_TRUE(testing::WaitUntil([&] { return Gone(a) && Gone(b); }, 5000));
  std::string opened = Read("opened");
  EXPECT_NE(opened.find(c_.scratch / "doc.txt\n"), std::string::npos) << opened;
  EXPECT_NE(opened.find("http://127.0.0.1/page\n"), std::string::npos) << opened;
}

}  // namespace
}  // namespace netrove
