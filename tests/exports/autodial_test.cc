// AutoDial: the phonebook fields, the busy marker and the handler.
#include "dialer/autodial.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>

#include "dialer/connection_files.h"
#include "dialer/dial_fixture.h"

namespace netrove {
namespace {

using testing::ReadText;
using testing::ScratchDir;
using testing::WriteFile;

TEST(AutoDialFields, SetAndClearTouchOnlyTheirLines) {
  const char book[] =
      "; my phonebook\n"
      "[Office]\n"
      "Device sim\n"
      "AutoDialLibrary /old/lib.so\n"
      "# note\n"
      "autodialfunction = Old\n"
      "AutoDialLibrary /duplicate\n"
      "\n"
      "[Home]\n"
      "Device sim\n"
      "\n";
  struct Case {
    const char* what;
    std::string entry, library, function;
    std::optional<std::string> want;
  } cases[] = {
      {"rewritten in place, the repeat dropped", "OFFICE", "/lib/libnetrove.so", "AutoDial",
       "; my phonebook\n[Office]\nDevice sim\nAutoDialLibrary /lib/libnetrove.so\n# "
       "note\nAutoDialFunction AutoDial\n\n[Home]\nDevice sim\n\n"},
      {"cleared", "Office", "", "",
       "; my phonebook\n[Office]\nDevice sim\n# note\n\n[Home]\nDevice sim\n\n"},
      {"added at the end of a section without them", "home", "/l.so", "AutoDial",
       "; my phonebook\n[Office]\nDevice sim\nAutoDialLibrary /old/lib.so\n# "
       "note\nautodialfunction = Old\nAutoDialLibrary /duplicate\n\n[Home]\nDevice "
       "sim\nAutoDialLibrary /l.so\nAutoDialFunction AutoDial\n\n"},
      {"a missing entry", "Nowhere", "/l.so", "AutoDial", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SetAutoDialFields(book, c.entry, c.library, c.function), c.want) << c.what;
  }
  // A last section without a final line end, and an entry with nothing in it.
  EXPECT_EQ(SetAutoDialFields("[A]\nDevice sim", "a", "/x", "AutoDial"),
            "[A]\nDevice sim\nAutoDialLibrary /x\nAutoDialFunction AutoDial\n");
  EXPECT_EQ(SetAutoDialFields("[A]", "A", "/x", "F"),
            "[A]\nAutoDialLibrary /x\nAutoDialFunction F\n");
}

TEST(AutoDialFields, WrittenToTheFileKeepingItsMode) {
  ScratchDir dir;
  PosixEnv env;
  std::string path = dir / "phonebook";
  WriteFile(path, "[A]\nDevice sim\n");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  EXPECT_EQ(WriteAutoDialFields(env, path, "A", "/x.so", "AutoDial"), 0);
  EXPECT_EQ(WriteAutoDialFields(env, path, "B", "/x.so", "AutoDial"), kErrorCannotFindEntry);
  EXPECT_EQ(WriteAutoDialFields(env, path, "A", "/x\n.so", "AutoDial"), -1);
  EXPECT_EQ(WriteAutoDialFields(env, dir / "none", "A", "/x.so", "AutoDial"), -1);
  EXPECT_EQ(ReadText(path), "[A]\nDevice sim\nAutoDialLibrary /x.so\nAutoDialFunction AutoDial\n");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A child that has ended and been reaped: its pid names no process.
pid_t EndedPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  int status = 0;
  waitpid(pid, &status, 0);
  return pid;
}

TEST(BusyMarker, AliveStaleAndAbsent) {
  ScratchDir dir;
  PosixEnv env;
  std::string marker = BusyMarkerPath(dir.path(), "Office");
  EXPECT_EQ(marker, dir / "netrove.Office.busy");
  EXPECT_EQ(CheckBusyMarker(env, marker), MarkerState::kAbsent);

  ASSERT_TRUE(WriteBusyMarker(env, marker, getpid()));
  EXPECT_EQ(CheckBusyMarker(env, marker), MarkerState::kAlive);
  EXPECT_FALSE(WriteBusyMarker(env, dir / "other", EndedPid()));

  uint64_t start = ProcessStartTime(env, getpid()).value();
  struct Case {
    const char* what;
    std::string text;
    MarkerState want;
  } cases[] = {
      {"this process", std::to_string(getpid()) + " " + std::to_string(start), MarkerState::kAlive},
      {"its pid, another start time", std::to_string(getpid()) + " " + std::to_string(start + 1),
       MarkerState::kStale},
      {"a process that has ended", std::to_string(EndedPid()) + " " + std::to_string(start),
       MarkerState::kStale},
      {"an empty marker counts by existence", "", MarkerState::kAlive},
      {"garbage counts by existence", "busy", MarkerState::kAlive},
  };
  for (const Case& c : cases) {
    WriteFile(marker, c.text);
    EXPECT_EQ(CheckBusyMarker(env, marker), c.want) << c.what;
    EXPECT_EQ(FileExists(env, marker), c.want != MarkerState::kStale) << c.what;
  }
}

class AutoDialHandler : public ::testing::Test {
 protected:
  // A stand-in for the front-end: records its words, then runs `tail`.
  void Program(const std::string& tail) {
    std::string path = dir_ / "netrove";
    WriteFile(path, "#!/bin/sh\necho \"$@\" >> '" + dir_.path() + "/started'\n" + tail);
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  }
  std::string Started() { return ReadText(dir_ / "started"); }
  // The handler, bounded: a handler that never returns fails the test.
  bool Run(const std::string& name) {
    AutoDialOptions options;
    options.state_dir = dir_.path();
    options.front_end = FrontEndFor(env_, dir_.path());
    options.poll_ms = 20;
    auto done = std::async(std::launch::async,
                           [&] { return RunAutoDialHandler(env_, ras_, options, name); });
    if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "the handler did not return";
      std::_Exit(1);
    }
    return done.get();
  }

  testing::TestContext ctx_;
  ScratchDir& dir_ = ctx_.scratch;
  PosixEnv env_;
  FakeLine ras_{ctx_.tasks, ctx_.log};  // its connections: only the active ones matter
};

TEST_F(AutoDialHandler, StartsTheProgramAndWaitsForItsMarker) {
  // The program removes its marker at the end, as its exit procedure does.
  Program("sleep 0.3\nrm -f '" + dir_.path() + "/netrove.'\"$1\"'.busy'\n");
  EXPECT_TRUE(Run("Office"));
  EXPECT_EQ(Started(), "Office AUTODIAL\n");
  EXPECT_FALSE(FileExists(env_, BusyMarkerPath(dir_.path(), "Office")));

  // The handler name file names the connection instead.
  WriteFile(dir_ / kAutoDialHandlerFile, "Home\nignored\n");
  EXPECT_TRUE(Run("Office"));
  EXPECT_EQ(Started(), "Office AUTODIAL\nHome AUTODIAL\n");
}

TEST_F(AutoDialHandler, AKilledProgramLeavesAStaleMarkerThatNoLongerBlocks) {
  // Ends without removing the marker, as a killed program does.
  Program("sleep 0.2\n");
  EXPECT_TRUE(Run("Office"));
  EXPECT_FALSE(FileExists(env_, BusyMarkerPath(dir_.path(), "Office")));
  EXPECT_TRUE(Run("Office"));
  EXPECT_EQ(Started(), "Office AUTODIAL\nOffice AUTODIAL\n");
}

TEST_F(AutoDialHandler, StartsNothingWhileConnectedOrBusy) {
  Program("");
  ras_.AddForeign(1, "Office");
  EXPECT_TRUE(Run("Office"));
  ASSERT_EQ(ras_.HangUp(1), 0);
  std::string marker = BusyMarkerPath(dir_.path(), "Office");
  ASSERT_TRUE(WriteBusyMarker(env_, marker, getpid()));  // a start under way
  EXPECT_TRUE(Run("Office"));
  EXPECT_TRUE(FileExists(env_, marker));
  EXPECT_FALSE(FileExists(env_, dir_ / "started"));
  // Without a program to start the marker goes again.
  ASSERT_TRUE(env_.RemoveFile(marker));
  ASSERT_TRUE(env_.RemoveFile(dir_ / "netrove"));
  EXPECT_FALSE(Run("Office"));
  EXPECT_FALSE(FileExists(env_, marker));
}

}  // namespace
}  // namespace netrove
