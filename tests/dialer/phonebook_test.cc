// The phonebook file, the sim device and connection state files, on real files.
#include "dialer/phonebook.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "dialer/connection_files.h"
#include "dialer/devices.h"
#include "dialer/phonebook_access.h"
#include "lib/test_context.h"

namespace netrove {
namespace {

using Strings = std::vector<std::string>;

class PhonebookTest : public ::testing::Test {
 protected:
  void Write(const std::string& name, const std::string& text) {
    ASSERT_TRUE(WriteFileAtomically(c_.env, name, text));
  }
  std::string Read(const std::string& name) { return c_.env.ReadFile(name, 1 << 20).value_or(""); }
  size_t LiveStateFiles() { return ReadConnectionFiles(c_.env, "run", 0, 30).size(); }

  testing::TestContext c_;
  PhonebookRemoteAccess ras_{c_.env, "phonebook", "run"};
  DialRecord demo_{"Demo", "", "", "", "", ""};
};

TEST_F(PhonebookTest, ParsesSectionsRejectsJunkAndAppendsPrivately) {
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
  // Appending writes a private file and refuses bad input.
  ASSERT_TRUE(AppendSection(c_.env, "phonebook", {"Demo", {{"Device", "sim"}, {"Password", "x"}}}));
  EXPECT_EQ(c_.env.Stat("phonebook")->mode, 0600u);
  EXPECT_FALSE(AppendSection(c_.env, "phonebook", {"DEMO", {}}));  // taken
  EXPECT_FALSE(AppendSection(c_.env, "phonebook", {"A]B", {}}));
  EXPECT_FALSE(AppendSection(c_.env, "phonebook", {"New", {{"Phone", "1\n[Evil]"}}}));
  ASSERT_TRUE(AppendSection(c_.env, "phonebook", {"Work", {{"Phone", "2"}}}));
  EXPECT_EQ(Read("phonebook"), "[Demo]\nDevice sim\nPassword x\n\n[Work]\nPhone 2\n");
}

TEST_F(PhonebookTest, EntriesDefaultsAndTheThirtyEntryLimit) {
  std::vector<std::string> names;
  // No phonebook: nothing listed, nothing dialled.
  EXPECT_EQ(ras_.EnumEntries(names), 0);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(ras_.ErrorText(676), "The phonebook phonebook does not exist.");
  std::atomic<uint32_t> handle{0};
  EXPECT_EQ(ras_.Dial(demo_, handle), -1);

  Write("phonebook", "[Demo]\nDevice sim\nPhone 555\nUser u\nPassword p\nDomain d\n");
  EXPECT_EQ(ras_.EnumEntries(names), 0);
  EXPECT_EQ(names, Strings{"Demo"});
  EXPECT_EQ(ras_.ErrorText(623), "The entry is not in the phonebook phonebook.");
  DialRecord params;
  bool stored = false;
  EXPECT_EQ(ras_.GetEntryDialParams("demo", params, stored), 0);
  EXPECT_TRUE(stored);
  EXPECT_EQ(params.user_name + params.password + params.domain, "upd");
  EntryProperties props;
  EXPECT_EQ(ras_.GetEntryProperties("DEMO", props), 0);
  EXPECT_EQ(props.local_phone, "555");
  EXPECT_EQ(ras_.GetEntryProperties("Other", props), kErrorCannotFindEntry);

  std::string many;
  for (int i = 0; i < 31; ++i) many += "[E" + std::to_string(i) + "]\nDevice sim\n";
  Write("phonebook", many);
  EXPECT_EQ(ras_.EnumEntries(names), kErrorBufferTooSmall);
  EXPECT_TRUE(names.empty());
}

TEST_F(PhonebookTest, SimAnswersInTurnLineDropsAndLateStateFiles) {
  std::vector<SimOutcome> o = ParseSimAnswers("busy 0, noanswer 0 , 691 0, hang, connect 0 0.2, x");
  ASSERT_EQ(o.size(), 6u);
  EXPECT_EQ((std::vector<int>{o[0].error, o[1].error, o[2].error, o[5].error}),
            (std::vector<int>{kErrorLineBusy, kErrorNoAnswer, kErrorAuthentication,
                              kErrorHardwareFailure}));  // an unreadable answer: hardware
  EXPECT_EQ(o[3].kind, SimOutcome::kHang);
  EXPECT_EQ(o[4].kind, SimOutcome::kConnect);
  EXPECT_DOUBLE_EQ(o[4].drop_after, 0.2);
  EXPECT_EQ(ParseSimAnswers("").size(), 1u);

  Write("phonebook", "[Demo]\nDevice sim\nAnswer busy 0, connect 0 0.2, hang\n");
  std::atomic<uint32_t> h{0};
  EXPECT_EQ(ras_.Dial(demo_, h), kErrorLineBusy);
  ConnectStatus st;
  EXPECT_EQ(ras_.GetConnectStatus(h, st), kErrorInvalidHandle);
  EXPECT_EQ(ras_.Dial(demo_, h), 0);
  EXPECT_EQ(ras_.GetConnectStatus(h, st), 0);
  EXPECT_EQ(st.state, kStateConnected);
  std::vector<ConnectionInfo> list;
  ras_.EnumConnections(list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].entry_name, "Demo");
  EXPECT_TRUE(testing::WaitUntil(
      [&] { return ras_.GetConnectStatus(h, st) == 0 && st.state == kStateDisconnected; }));
  ras_.EnumConnections(list);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(ras_.HangUp(h), 0);
  // A dial in progress is listed, and a hang-up cancels it.
  std::atomic<int> rc{-100};
  std::thread dial([&] { rc = ras_.Dial(demo_, h); });
  ASSERT_TRUE(testing::WaitUntil([&] { return ras_.EnumConnections(list) == 0 && !list.empty(); }));
  EXPECT_EQ(ras_.HangUp(list[0].handle), 0);
  dial.join();
  EXPECT_EQ(rc, kErrorUserDisconnection);
  EXPECT_EQ(ras_.Dial(demo_, h), kErrorLineBusy);  // the list starts over

  // A state file a full disk refused at the dial is written while on-line, so that BREAK finds it.
  Write("phonebook", "[Demo]\nDevice sim\nAnswer connect 0\n");
  c_.real_env.SetDiskFull(true);
  ASSERT_EQ(ras_.Dial(demo_, h), 0);
  EXPECT_EQ(ras_.GetConnectStatus(h, st), 0);
  EXPECT_EQ(LiveStateFiles(), 0u);
  c_.real_env.SetDiskFull(false);
  EXPECT_EQ(ras_.GetConnectStatus(h, st), 0);
  EXPECT_EQ(st.state, kStateConnected);
  EXPECT_EQ(LiveStateFiles(), 1u);
  EXPECT_EQ(ras_.HangUp(h), 0);
  EXPECT_EQ(LiveStateFiles(), 0u);
}

// Only live processes of this program count: a state file naming a dead process, a reused pid or
// another program (a forged one for "sleep") is stale: removed, never listed, never signalled.
TEST_F(PhonebookTest, StateFilesOfAnyOtherProcessAreStale) {
  std::string mine = WriteConnectionFile(c_.env, "run", "My/Entry", "sim");
  ASSERT_FALSE(mine.empty());
  EXPECT_EQ(mine.find("My/Entry"), std::string::npos);  // no path separators from the name
  EXPECT_EQ(c_.env.Stat(mine)->mode, 0600u);
  EXPECT_EQ(ParseConnectionFile(Read(mine)).value_or(ConnectionFile{}).entry, "My/Entry");
  EXPECT_TRUE(ReadConnectionFiles(c_.env, "run", getpid(), 30).empty());  // not another's
  EXPECT_FALSE(ParseConnectionFile("pid -3\nstart 1\nentry E\n"));

  std::unique_ptr<Process> sleeper = c_.env.Spawn({"/bin/sleep", "30"}, {}, "");
  ASSERT_TRUE(sleeper);
  pid_t pid = sleeper->pid();
  ASSERT_TRUE(testing::WaitUntil(
      [&] { return ProcessExecutable(c_.env, pid) != ProcessExecutable(c_.env, 0); }));
  std::optional<uint64_t> start = ProcessStartTime(c_.env, pid);
  ASSERT_TRUE(start);
  Write("run/dead.conn", "pid 1073741823\nstart 5\nentry X\ndevice sim\n");
  Write("run/reused.conn", "pid " + std::to_string(getpid()) + "\nstart 1\nentry Y\ndevice sim\n");
  Write("run/junk.conn", "garbage");
  Write("run/forged.conn",
        "pid " + std::to_string(pid) + "\nstart " + std::to_string(*start) + "\nentry Demo\n");
  Write("phonebook", "[Demo]\nDevice sim\n");
  std::vector<ConnectionInfo> found;
  EXPECT_EQ(ras_.EnumConnections(found), 0);
  EXPECT_TRUE(found.empty());
  EXPECT_FALSE(FileExists(c_.env, "run/forged.conn"));
  EXPECT_EQ(LiveStateFiles(), 1u);
  Strings left = c_.env.ListDirectory("run", 10);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (Strings{"My%2FEntry." + std::to_string(getpid()) + ".conn", "junk.conn"}));
  EXPECT_EQ(sleeper->Poll(), std::nullopt);  // untouched
}

}  // namespace
}  // namespace netrove
