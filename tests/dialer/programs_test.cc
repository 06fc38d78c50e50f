#include "dialer/programs.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "dialer/events_fixture.h"

namespace netrove {
namespace {

TEST(ProgramLine, OptionsQuotesAndParameters) {
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
      {"/usr/bin/env A=1 true", WindowMode::kNormal, "/usr/bin/env", "A=1 true"},
      {"/M \"/opt/my tools/run it.sh\" \"a b\" c", WindowMode::kMinimised,
       "/opt/my tools/run it.sh", "\"a b\" c"},
      {"\"/opt/open ended", WindowMode::kNormal, "/opt/open ended", ""},
  };
  for (const Case& c : cases) {
    auto parsed = ParseProgramLine(c.line);
    ASSERT_TRUE(parsed.has_value()) << c.line;
    EXPECT_EQ(parsed->mode, c.mode) << c.line;
    EXPECT_EQ(parsed->program, c.program) << c.line;
    EXPECT_EQ(parsed->parameters, c.parameters) << c.line;
  }
  for (const char* empty : {"", "   ", "/M", "/MAX   ", "\"\" x"})
    EXPECT_FALSE(ParseProgramLine(empty).has_value()) << empty;
}

TEST(ProgramLine, ArgumentWords) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitArguments(""), V{});
  EXPECT_EQ(SplitArguments("  a\t b  "), (V{"a", "b"}));
  EXPECT_EQ(SplitArguments("\"b c\" d\"\"e \"\" f\"g h\""), (V{"b c", "de", "", "fg h"}));
  EXPECT_EQ(SplitArguments("$HOME;rm -rf `x` | y"), (V{"$HOME;rm", "-rf", "`x`", "|", "y"}));
  EXPECT_EQ(SplitArguments("\"never closed"), (V{"never closed"}));
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "w ";
  EXPECT_EQ(SplitArguments(many).size(), kMaxArguments);
}

class StartedPrograms : public EventsFixture {
 protected:
  // An executable shell script in the scratch directory.
  std::string Script(const std::string& name, const std::string& body) {
    std::string path = Path(name);
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
    return path;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(Path(name));
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static bool Gone(pid_t pid) { return kill(pid, 0) == -1 && errno == ESRCH; }
};

TEST_F(StartedPrograms, QuotedPathWithBlanksGetsItsWordsUninterpreted) {
  std::string script =
      Script("write marker.sh",
             "for a in \"$@\"; do echo \"[$a]\"; done > \"$(dirname \"$0\")/out\"\n"
             "mv \"$(dirname \"$0\")/out\" \"$(dirname \"$0\")/marker\"");
  ExecuteCommand("/M \"" + script + "\" one \"two words\" $HOME;touch `pwd`/x *");
  ASSERT_TRUE(WaitFor([&] { return Exists("marker"); }, 5000));
  EXPECT_EQ(Read("marker"), "[one]\n[two words]\n[$HOME;touch]\n[`pwd`/x]\n[*]\n");
  EXPECT_EQ(Logged().front(),
            "Execute /M \"" + script + "\" one \"two words\" $HOME;touch `pwd`/x *");
}

// (A missing program logging only its "Execute" line is tested end to end in
// the case tests/cases/flags.)
TEST_F(StartedPrograms, DocumentsAndUrlsGoToXdgOpenWhenThereIsOne) {
  std::ofstream(Path("doc.txt")) << "text";
  std::string saved = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  setenv("PATH", Path("bin").c_str(), 1);
  EXPECT_EQ(StartProgram({WindowMode::kNormal, Path("doc.txt"), ""}), -1);  // no xdg-open
  std::filesystem::create_directories(dir_ / "bin");
  Script("bin/xdg-open", "echo \"$@\" >> \"" + Path("opened") + "\"");
  pid_t a = StartProgram(*ParseProgramLine("\"" + Path("doc.txt") + "\" ignored"));
  pid_t b = StartProgram(*ParseProgramLine("http://127.0.0.1/page"));
  setenv("PATH", saved.c_str(), 1);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  ASSERT_TRUE(WaitFor([&] { return Gone(a) && Gone(b); }, 5000));
  std::string opened = Read("opened");
  EXPECT_NE(opened.find(Path("doc.txt") + "\n"), std::string::npos) << opened;
  EXPECT_NE(opened.find("http://127.0.0.1/page\n"), std::string::npos) << opened;
}

TEST_F(StartedPrograms, EndedProgramsAreReapedAndInheritNoSocket) {
  // A listening socket deliberately left without close-on-exec.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 4), 0);

  std::string script =
      Script("fds.sh", "for f in /proc/$$/fd/*; do readlink \"$f\"; done > \"" + Path("fds") +
                           ".$$\"; mv \"" + Path("fds") + ".$$\" \"" + Path("fds") + "\"");
  std::vector<pid_t> pids;
  for (int i = 0; i < 5; ++i) {
    pid_t pid = StartProgram({WindowMode::kNormal, script, ""});
    ASSERT_GT(pid, 0);
    pids.push_back(pid);
  }
  close(listener);
  ASSERT_TRUE(WaitFor([&] { return Exists("fds"); }, 5000));
  std::string fds = Read("fds");
  EXPECT_EQ(fds.find("socket:"), std::string::npos) << fds;
  EXPECT_NE(fds.find("/dev/null"), std::string::npos) << fds;
  // A zombie still answers kill(pid, 0); a reaped process does not.
  EXPECT_TRUE(WaitFor(
      [&] {
        for (pid_t pid : pids)
          if (!Gone(pid)) return false;
        return true;
      },
      5000));
  EXPECT_TRUE(WaitFor([] { return ProgramsNotReaped() == 0; }, 2000));
}

}  // namespace
}  // namespace netrove
