// The console as a whole on a pseudo-terminal: a child process has the
// terminal as its standard input and output; the test plays the user on
// the master side.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "runtime/console.h"

namespace netrove {
namespace {

class PtyUser {
 public:
  explicit PtyUser(int master) : master_(master) {}
  // Reads (bounded) until the output holds `text`.
  bool WaitFor(const std::string& text, int limit_ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (out_.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return false;
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[512];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) return false;
      out_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  void Type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  const std::string& out() const { return out_; }

 private:
  int master_;
  std::string out_;
};

void RunChild(int slave) {
  dup2(slave, 0);
  dup2(slave, 1);
  setenv("LANG", "C.UTF-8", 1);
  unsetenv("LC_ALL");
  unsetenv("LC_CTYPE");
  ConsoleStart();
  ConsoleSetTitle("Netrove");
  ConsoleStatusLine("Waiting...(3)");
  ConsoleLogLine("05/03 09:07 \xfe Dialing...");
  ConsoleFlush();
  int first = ReadKey();
  int second = ReadKey();
  ConsoleWriteLine("K:" + std::to_string(first) + "," + std::to_string(second));
  std::string line = ReadConsoleLine();
  ConsoleWriteLine("L:" + line);
  ConsoleShutdown();
  _exit(0);
}

TEST(ConsoleOnPty, DrawsReadsKeysAndLinesAndRestoresTheTerminal) {
  int master, slave;
  struct winsize size = {};
  size.ws_col = 100;
  size.ws_row = 20;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) RunChild(slave);

  PtyUser user(master);
  // The log line comes out whole, with the time-stamp mark as a square,
  // and the status line is drawn again below it (LF becomes CR LF).
  EXPECT_TRUE(user.WaitFor("\r05/03 09:07 \u25a0 Dialing...\x1b[K\r\n\rWaiting...(3)\x1b[K"))
      << user.out();
  EXPECT_NE(user.out().find("\x1b]0;Netrove\x07"), std::string::npos);

  // An arrow key is a key without a character, not ESC.
  user.Type("\x1b[A");
  user.Type("x");
  EXPECT_TRUE(user.WaitFor("K:0,120\r\n")) << user.out();

  // Line input echoes what is typed and handles Backspace.
  user.Type(
      "ab\x7f"
      "c\r");
  EXPECT_TRUE(user.WaitFor("L:ac\r\n")) << user.out();
  EXPECT_NE(user.out().find("ab\b \bc\r\n"), std::string::npos) << user.out();

  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  struct termios after;
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
  close(master);
  close(slave);
}

}  // namespace
}  // namespace netrove
