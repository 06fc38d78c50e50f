// The phonebook file, the sim device, connection state files and command
// lines, on a scratch directory.
#include "dialer/phonebook.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "dialer/child_process.h"
#include "dialer/connection_files.h"
#include "dialer/phonebook_access.h"
#include "runtime/files.h"

namespace netrove {
namespace {

namespace fs = std::filesystem;

class PhonebookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("netrove pb " + std::to_string(getpid()) + " " +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    book_ = (dir_ / "phonebook").string();
    run_ = (dir_ / "run").string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const std::string& text) { std::ofstream(book_) << text; }
  fs::path dir_;
  std::string book_, run_;
};

TEST_F(PhonebookTest, ParsesSectionsKeysAndRejectsJunk) {
  std::string text =
      "; comment\nPhone 1\n[Demo]\nPhone 555 0100\nUser = alice\n# other comment\n"
      "Password   pa ss\n[]\nPhone 9\n[Bad\x01Name]\nPhone 8\n[ Work ]\nDevice sim\n" +
      std::string(2000, 'x') + "\nAnswer busy\n";
  std::vector<PhonebookSection> book = ParsePhonebook(text);
  ASSERT_EQ(book.size(), 2u);
  using KV = std::vector<std::pair<std::string, std::string>>;
  // Keys of invalid sections are not merged in.
  EXPECT_EQ(book[0].keys, (KV{{"Phone", "555 0100"}, {"User", "alice"}, {"Password", "pa ss"}}));
  EXPECT_EQ(book[0].Get("PHONE"), "555 0100");
  EXPECT_EQ(book[1].name, "Work");
  EXPECT_EQ(book[1].keys, (KV{{"Device", "sim"}, {"Answer", "busy"}}));
  EXPECT_EQ(FindSection(book, "work"), &book[1]);
  EXPECT_EQ(FindSection(book, "nope"), nullptr);
}

TEST_F(PhonebookTest, AppendWritesPrivateFileAndRefusesBadInput) {
  PhonebookSection s{"Demo", {{"Device", "sim"}, {"Password", "secret"}}};
  ASSERT_TRUE(AppendSection(book_, s));
  struct stat st;
  ASSERT_EQ(stat(book_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(AppendSection(book_, PhonebookSection{"DEMO", {}}));  // taken
  EXPECT_FALSE(AppendSection(book_, PhonebookSection{"A]B", {}}));
  EXPECT_FALSE(AppendSection(book_, PhonebookSection{"New", {{"Phone", "1\n[Evil]"}}}));
  ASSERT_TRUE(AppendSection(book_, PhonebookSection{"Work", {{"Phone", "2"}}}));
  EXPECT_EQ(*ReadWholeFile(book_), "[Demo]\nDevice sim\nPassword secret\n\n[Work]\nPhone 2\n");
}

TEST_F(PhonebookTest, EntriesDefaultsAndTheThirtyEntryLimit) {
  PhonebookRemoteAccess ras(book_, run_);
  std::vector<std::string> names;
  // No phonebook: the substitutes.
  EXPECT_EQ(ras.EnumEntries(names), 0);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(ras.ErrorText(676), "The phonebook " + book_ + " does not exist.");
  std::atomic<uint32_t> handle{0};
  EXPECT_EQ(ras.Dial(DialRecord{"Demo", "", "", "", "", ""}, handle), -1);

  Write("[Demo]\nDevice sim\nPhone 555\nUser u\nPassword p\nDomain d\n");
  EXPECT_EQ(ras.EnumEntries(names), 0);
  EXPECT_EQ(names, std::vector<std::string>{"Demo"});
  EXPECT_EQ(ras.ErrorText(676), "The line is busy.");
  EXPECT_EQ(ras.ErrorText(623), "The entry is not in the phonebook " + book_ + ".");
  EXPECT_EQ(ras.ErrorText(999), "remote-access error 999");
  DialRecord params;
  bool stored = false;
  EXPECT_EQ(ras.GetEntryDialParams("demo", params, stored), 0);
  EXPECT_TRUE(stored);
  EXPECT_EQ(params.user_name + params.password + params.domain, "upd");
  EntryProperties props;
  EXPECT_EQ(ras.GetEntryProperties("DEMO", props), 0);
  EXPECT_EQ(props.local_phone, "555");
  EXPECT_EQ(ras.GetEntryProperties("Other", props), kErrorCannotFindEntry);

  std::string many;
  for (int i = 0; i < 31; ++i) many += "[E" + std::to_string(i) + "]\nDevice sim\n";
  Write(many);
  EXPECT_EQ(ras.EnumEntries(names), kErrorBufferTooSmall);
  EXPECT_TRUE(names.empty());
}

TEST_F(PhonebookTest, SetPropertiesKeepsCommentsAndOtherEntries) {
  Write("; mine\n[A]\nDevice sim\nAutoDialLibrary old\n; keep\n[B]\nDevice sim\n");
  PhonebookRemoteAccess ras(book_, run_);
  EntryProperties p;
  p.autodial_library = "/lib/x.so";
  p.autodial_function = "AutoDial";
  EXPECT_EQ(ras.SetEntryProperties("a", p), 0);
  EXPECT_EQ(*ReadWholeFile(book_),
            "; mine\n[A]\nDevice sim\n; keep\nAutoDialLibrary /lib/x.so\n"
            "AutoDialFunction AutoDial\n[B]\nDevice sim\n");
  EXPECT_EQ(ras.SetEntryProperties("C", p), kErrorCannotFindEntry);
}

TEST_F(PhonebookTest, SimAnswersInTurnAndLineDrops) {
  std::vector<SimOutcome> o = ParseSimAnswers("busy 0, noanswer 0 , 691 0, hang, connect 0 0.2, x");
  ASSERT_EQ(o.size(), 6u);
  EXPECT_EQ((std::vector<int>{o[0].error, o[1].error, o[2].error, o[5].error}),
            (std::vector<int>{kErrorLineBusy, kErrorNoAnswer, kErrorAuthentication,
                              kErrorHardwareFailure}));  // an unreadable answer: hardware
  EXPECT_EQ(o[3].kind, SimOutcome::kHang);
  EXPECT_EQ(o[4].kind, SimOutcome::kConnect);
  EXPECT_DOUBLE_EQ(o[4].drop_after, 0.2);
  EXPECT_EQ(ParseSimAnswers("").size(), 1u);

  Write("[Demo]\nDevice sim\nAnswer busy 0, connect 0 0.3\n");
  PhonebookRemoteAccess ras(book_, run_);
  DialRecord rec{"demo", "", "", "", "", ""};
  std::atomic<uint32_t> h{0};
  EXPECT_EQ(ras.Dial(rec, h), kErrorLineBusy);
  ConnectStatus st;
  EXPECT_EQ(ras.GetConnectStatus(h, st), kErrorInvalidHandle);
  EXPECT_EQ(ras.Dial(rec, h), 0);
  EXPECT_EQ(ras.GetConnectStatus(h, st), 0);
  EXPECT_EQ(st.state, kStateConnected);
  std::vector<ConnectionInfo> list;
  ras.EnumConnections(list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].entry_name, "Demo");
  usleep(400000);
  EXPECT_EQ(ras.GetConnectStatus(h, st), 0);
  EXPECT_EQ(st.state, kStateDisconnected);
  ras.EnumConnections(list);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(ras.HangUp(h), 0);
  EXPECT_EQ(ras.Dial(rec, h), kErrorLineBusy);  // the list starts over
}

// The state file could not be written when the dial began (a full disk,
// here a file in the way of the run directory): it is written as soon as
// it can be, while on-line, so that BREAK finds the connection.
TEST_F(PhonebookTest, StateFileIsWrittenOnceTheDiskTakesIt) {
  Write("[Demo]\nDevice sim\nAnswer connect 0\n");
  std::ofstream(run_) << "in the way";
  PhonebookRemoteAccess ras(book_, run_);
  std::atomic<uint32_t> h{0};
  ASSERT_EQ(ras.Dial(DialRecord{"Demo", "", "", "", "", ""}, h), 0);
  ConnectStatus st;
  EXPECT_EQ(ras.GetConnectStatus(h, st), 0);
  fs::remove(run_);
  EXPECT_TRUE(ReadConnectionFiles(run_, 0, 30).empty());
  EXPECT_EQ(ras.GetConnectStatus(h, st), 0);
  EXPECT_EQ(st.state, kStateConnected);
  EXPECT_EQ(ReadConnectionFiles(run_, 0, 30).size(), 1u);
  EXPECT_EQ(ras.HangUp(h), 0);
  EXPECT_TRUE(ReadConnectionFiles(run_, 0, 30).empty());
}

TEST_F(PhonebookTest, HangUpCancelsADialInProgress) {
  Write("[Demo]\nDevice sim\nAnswer hang\n");
  PhonebookRemoteAccess ras(book_, run_);
  std::atomic<uint32_t> h{0};
  std::atomic<int> rc{-100};
  std::thread dial([&] { rc = ras.Dial(DialRecord{"Demo", "", "", "", "", ""}, h); });
  for (int i = 0; i < 100 && h == 0; ++i) usleep(10000);
  ASSERT_NE(h.load(), 0u);
  std::vector<ConnectionInfo> list;
  ras.EnumConnections(list);
  EXPECT_EQ(list.size(), 1u);  // a dial in progress is listed
  EXPECT_EQ(ras.HangUp(h), 0);
  dial.join();
  EXPECT_EQ(rc, kErrorUserDisconnection);
}

TEST_F(PhonebookTest, StateFilesOfDeadProcessesAreStale) {
  std::string mine = WriteConnectionFile(run_, "My/Entry", "sim");
  ASSERT_FALSE(mine.empty());
  EXPECT_EQ(mine.find("My/Entry"), std::string::npos);  // no path separators from the name
  std::optional<ConnectionFile> parsed = ParseConnectionFile(*ReadWholeFile(mine));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->entry, "My/Entry");
  EXPECT_EQ(parsed->pid, getpid());
  // Our own files are not "other processes'".
  EXPECT_TRUE(ReadConnectionFiles(run_, getpid(), 30).empty());
  EXPECT_EQ(ReadConnectionFiles(run_, 0, 30).size(), 1u);
  // A pid that does not run, and one whose start time does not match.
  std::ofstream(run_ + "/dead.conn") << "pid 1073741823\nstart 5\nentry X\ndevice sim\n";
  std::ofstream(run_ + "/reused.conn") << "pid " << getpid() << "\nstart 1\nentry Y\ndevice sim\n";
  std::ofstream(run_ + "/junk.conn") << "garbage";
  EXPECT_EQ(ReadConnectionFiles(run_, 0, 30).size(), 1u);
  EXPECT_FALSE(fs::exists(run_ + "/dead.conn"));
  EXPECT_FALSE(fs::exists(run_ + "/reused.conn"));
  EXPECT_FALSE(ParseConnectionFile("pid -3\nstart 1\nentry E\n"));
  struct stat st;
  ASSERT_EQ(stat(mine.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A state file naming a live process of another program (here a forged
// one for "sleep") is stale: it is neither listed nor hung up, and the
// process is never signalled.
TEST_F(PhonebookTest, StateFileOfAnotherProgramIsNeverSignalled) {
  Write("[Demo]\nDevice sim\n");
  pid_t sleeper = fork();
  if (sleeper == 0) {
    execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(sleeper, 0);
  for (int i = 0; i < 100 && ProcessExecutable(sleeper) == ProcessExecutable(0); ++i)
    usleep(10000);  // until the child has become "sleep"
  std::optional<uint64_t> start = ProcessStartTime(sleeper);
  ASSERT_TRUE(start);
  fs::create_directories(run_);
  std::ofstream(run_ + "/forged.conn")
      << "pid " << sleeper << "\nstart " << *start << "\nentry Demo\ndevice sim\n";
  PhonebookRemoteAccess ras(book_, run_);
  std::vector<ConnectionInfo> found;
  EXPECT_EQ(ras.EnumConnections(found), 0);
  EXPECT_TRUE(found.empty());
  EXPECT_FALSE(fs::exists(run_ + "/forged.conn"));
  EXPECT_EQ(kill(sleeper, 0), 0);  // untouched
  kill(sleeper, SIGKILL);
  waitpid(sleeper, nullptr, 0);
}

TEST(CommandLineTest, SplitsWordsWithoutAShell) {
  using V = std::vector<std::string>;
  EXPECT_EQ(*SplitCommandLine("  pon  my\\ isp 'a b' \"c \\\"d\\\"\" e;rm "),
            (V{"pon", "my isp", "a b", "c \"d\"", "e;rm"}));
  EXPECT_EQ(*SplitCommandLine(""), V{});
  EXPECT_EQ(*SplitCommandLine("''"), V{""});
  EXPECT_FALSE(SplitCommandLine("'open"));
  EXPECT_FALSE(SplitCommandLine("\"open"));
  EXPECT_FALSE(SplitCommandLine(std::string(5000, 'a')));
}

TEST(CommandLineTest, RunsWithEnvironmentAndBoundsTheWait) {
  std::string out = fs::temp_directory_path() / ("netrove cmd " + std::to_string(getpid()));
  std::optional<int> rc = RunCommandLine("/bin/sh -c 'echo $NETROVE_USER; exit 3'",
                                         {{"NETROVE_USER", "alice"}}, out, 5000);
  ASSERT_TRUE(rc);
  EXPECT_EQ(*rc, 3);
  EXPECT_EQ(*ReadWholeFile(out), "alice\n");
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(RunCommandLine("/bin/sleep 30", {}, "", 300));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(RunCommandLine("/nonexistent/program", {}, "", 1000));
  fs::remove(out);
}

}  // namespace
}  // namespace netrove
