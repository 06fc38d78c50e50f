// The front-end's records and the settings round trip through netrove.dat.
#include "driver/front_end.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "config/config.h"
#include "config/scrambler.h"
#include "lib/test_context.h"

namespace netrove {
namespace {

using testing::ReadText;
using testing::ScratchDir;
using testing::WriteFile;

TEST(PasswordMask, EveryLengthRoundTripsAndEditsKeepTheirPlace) {
  std::string forty = "0123456789abcdefghijABCDEFGHIJ!#%&()*+-=";
  ASSERT_EQ(forty.size(), 40u);
  for (size_t length : {0u, 1u, 30u, 31u, 32u, 40u, 62u, 63u, 255u}) {
    std::string password;
    for (size_t i = 0; i < length; ++i) password += static_cast<char>('!' + i % 90);
    std::string mask = PasswordMask(length);
    ASSERT_EQ(mask.size(), length);
    for (char c : mask) ASSERT_LT(static_cast<unsigned char>(c), 32) << length;
    EXPECT_EQ(UnmaskPassword(mask, password), password) << length;
  }
  std::string mask = PasswordMask(40);
  struct Case {
    const char* what;
    std::string mask;
    std::string want;
  } cases[] = {
      {"kept as shown", mask, forty},
      {"a new password", "secret", "secret"},
      {"emptied", "", ""},
      {"the last character deleted", mask.substr(0, 39), forty.substr(0, 39)},
      {"character 35 deleted", mask.substr(0, 35) + mask.substr(36),
       forty.substr(0, 35) + forty.substr(36)},
      {"character 3 deleted", mask.substr(0, 3) + mask.substr(4),
       forty.substr(0, 3) + forty.substr(4)},
      {"one typed after character 33", mask.substr(0, 34) + "X" + mask.substr(34),
       forty.substr(0, 34) + "X" + forty.substr(34)},
      {"one appended", mask + "Z", forty + "Z"},
  };
  for (const Case& c : cases) EXPECT_EQ(UnmaskPassword(c.mask, forty), c.want) << c.what;
}

TEST(ChainArena, ManyNodesReadBackFreeAndAreReused) {
  ChainArena arena(5000);
  TextChain head{};
  std::vector<std::string> entries;
  for (int i = 0; i < 4000; ++i) entries.push_back("entry " + std::to_string(i));
  entries.insert(entries.begin() + 7, "");  // empty texts are skipped
  EXPECT_EQ(arena.Fill(&head, entries), 4000u);
  EXPECT_EQ(arena.NodesInUse(), 3999u);  // the head is the caller's
  entries.erase(entries.begin() + 7);
  EXPECT_EQ(arena.Read(&head), entries);
  // Walking by handle, as a front-end does.
  size_t count = 1;
  for (const TextChain* n = &head; n->next != 0; n = arena.Node(n->next)) ++count;
  EXPECT_EQ(count, 4000u);

  // A second chain fills the rest of the arena and is cut there.
  TextChain other{};
  EXPECT_EQ(arena.Fill(&other, entries), 1002u);
  EXPECT_EQ(arena.NodesInUse(), 5000u);

  const uint32_t second = head.next;
  arena.Free(&head);
  EXPECT_EQ(head.next, 0u);
  EXPECT_EQ(arena.NodesInUse(), 1001u);
  EXPECT_EQ(arena.Node(second), nullptr);
  EXPECT_EQ(arena.Read(&head), std::vector<std::string>{"entry 0"});
  // Freed nodes serve the next chain.
  TextChain again{};
  EXPECT_EQ(arena.Fill(&again, std::vector<std::string>(100, std::string(300, 'x'))), 100u);
  EXPECT_EQ(arena.Read(&again).front().size(), 255u);
  EXPECT_EQ(arena.NodesInUse(), 1100u);
  // A head whose next names no node in use reads as one text.
  TextChain stray{};
  stray.text[0] = 1;
  stray.text[1] = 'a';
  stray.next = 4999999;
  EXPECT_EQ(arena.Read(&stray), std::vector<std::string>{"a"});
  arena.Free(&stray);
  EXPECT_EQ(arena.NodesInUse(), 1100u);
  // An empty head is an empty list.
  TextChain empty{};
  EXPECT_TRUE(arena.Read(&empty).empty());
}

// netrove.dat and a phonebook in a scratch home that is the program directory.
class FrontEndFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(setenv("NETROVE_HOME", dir_.path().c_str(), 1), 0);
    ASSERT_EQ(setenv("NETROVE_PHONEBOOK", (dir_ / "phonebook").c_str(), 1), 0);
    WriteFile("phonebook", "[Office]\nDevice sim\nPhone 555-0100\n[Other]\nDevice sim\n");
  }
  void TearDown() override {
    unsetenv("NETROVE_HOME");
    unsetenv("NETROVE_PHONEBOOK");
  }
  // The password the reader makes of the file's section.
  std::string LoadedPassword(const std::string& section) {
    ParseEnvironment parse_env;
    parse_env.volume_key = VolumeKey(env_);
    ParseResult r =
        ParseConfiguration(ReadText("netrove.dat"), section, true, ConfigRecord(), parse_env);
    return r.record.password;
  }

  ScratchDir dir_;
  PosixEnv env_;
  FrontEnd front_{env_, [](const std::string&, const std::string&, bool) {}};
};

const char kPassword40[] = "p4ssw0rd-of-forty-characters-0123456789X";

TEST_F(FrontEndFiles, SectionRoundTripsThroughTheRecordKeepingComments) {
  std::string section = R"([Office]
; dialled on weekdays
Connection Office
User alice
Password *PASSWORD
Phone 555-0199
Domain
AddPhone 555-0200
AddPhone 555-0300 8:00 18:00
OffPhone 555-0400
DefLoad NO
AUTOHIDE YES
CHECKURL 127.0.0.1:18080
CHECKURLTIME 7
LOGFILE office.log
REDIAL NO
HideProxy NO
HidePOP3 YES
HideSMTP NO
HideNNTP YES
HideFTP NO
HideSOCKS4 YES
HidePort NO
DIALPREFIX 0,
DIALTIME 45
MAXRETRY 3
WAITTIME 12
SLEEPTIME 70
; flag files
BREAKFLAG break.flg
SLEEPFLAG sleep.flg
CONNECTFLAG connect.flg
DIALFLAG dial.flg
BREAKIFFOUND NO
DAYTIMELIMIT 600
WEEKTIMELIMIT 3000
MONTHTIMELIMIT 9000
NETROVEPORT 2999
PROXY LOCALHOST
POP3 pop.example.net
SMTP smtp.example.net
NNTP news.example.net
FTP 2121
SOCKS4 1080
PORTDOG 18023
CACHEDNSDAY 4
NETSTOPTIME 5
NETSLEEPTIME 6
MapLink 18081,127.0.0.1:18080,Show
Break 23:30
ExecuteStart start.sh
Execute on-connect.sh
ExecuteEnd on-end.sh
ExecuteFlag run.flg run.sh
ExecuteAt 12:00 noon.sh
Cost 8:00 0.05
)";
  section.replace(section.find("PASSWORD"), 8, kPassword40);
  std::string file = "; global part\nWaitTime 10\n\n" + section + "\n[Other]\nUser bob\n";
  WriteFile("netrove.dat", file);

  FrontSettings loaded;
  ASSERT_TRUE(front_.LoadSettings("office", loaded));
  EXPECT_EQ(loaded.entry_name, "Office");
  EXPECT_EQ(loaded.password_mask.size(), 40u);
  EXPECT_EQ(loaded.add_phone, (std::vector<std::string>{"555-0200", "555-0300 8:00 18:00"}));
  EXPECT_EQ(loaded.execute_at, std::vector<std::string>{"12:00 noon.sh"});
  EXPECT_EQ(loaded.day_time_limit, 600 * 60);  // seconds in the record

  // The record and back (ordinal 24, then 12): the section as it was, but
  // for the limits that travel in seconds.
  FrontEndSettings record;
  PackSettings(front_.CurrentSettings(), front_.chains(), &record);
  FrontSettings back = UnpackSettings(record, front_.chains());
  EXPECT_EQ(back, loaded);
  back.day_time_limit /= 60;
  back.week_time_limit /= 60;
  back.month_time_limit /= 60;
  ASSERT_GT(front_.ReplaceSection(back), 0);
  EXPECT_EQ(ReadText("netrove.dat"), file);

  // A 40-character password typed anew, and a changed user: scrambled anew.
  back.password_mask = kPassword40;
  back.user = "carol";
  ASSERT_GT(front_.ReplaceSection(back), 0);
  EXPECT_EQ(LoadedPassword("Office"), kPassword40);
  EXPECT_EQ(ReadText("netrove.dat").find("*p4ss"), std::string::npos);

  // Loaded again, the mask of 40 kept characters writes the same password.
  ASSERT_TRUE(front_.LoadSettings("Office", loaded));
  EXPECT_EQ(loaded.password_mask, PasswordMask(40));
  loaded.user = "dave";  // forces the password to be written anew from the mask
  loaded.day_time_limit = 600;
  ASSERT_GT(front_.ReplaceSection(loaded), 0);
  EXPECT_EQ(LoadedPassword("Office"), kPassword40);
  // The rest of the file is untouched.
  std::string now = ReadText("netrove.dat");
  EXPECT_EQ(now.substr(0, 27), "; global part\nWaitTime 10\n\n");
  EXPECT_NE(now.find("; dialled on weekdays\nConnection Office\nUser dave\n"), std::string::npos);
  EXPECT_NE(now.find("\n[Other]\nUser bob\n"), std::string::npos);
}

TEST_F(FrontEndFiles, GlobalWriteAppendDeleteAndCounts) {
  WriteFile("netrove.dat",
            "; keep me\nWaitTime 10\nPopThing x\nExecute global.sh\n\n[Office]\nDialTime 9\n");
  FrontSettings s;
  ASSERT_TRUE(front_.LoadSettings("Office", s));
  EXPECT_EQ(s.dial_time, 9);
  EXPECT_EQ(front_.Warnings().size(), 1u);  // the unknown keyword
  s.wait_time = 33;
  EXPECT_EQ(front_.WriteGlobal(s), static_cast<int32_t>(CommonSettingLines(s).size()));
  std::string text = ReadText("netrove.dat");
  EXPECT_EQ(text.substr(0, 45), "; keep me\nWAITTIME 33\nPopThing x\nExecute glob");
  // A section written from the record by itself; the global part is left
  // alone, and so is the other section.
  EXPECT_NE(text.find("\n\n[Office]\nDialTime 9\n"), std::string::npos);
  EXPECT_NE(text.find("DIALTIME 9\n"), std::string::npos);  // the common lines

  s.section = "Copy";
  ASSERT_TRUE(front_.AppendSection(s));
  EXPECT_FALSE(front_.AppendSection(s));  // it exists now
  EXPECT_EQ(front_.CountSections(), 2);
  EXPECT_EQ(front_.SectionNames(), (std::vector<std::string>{"Office", "Copy"}));
  FrontSettings copy;
  ASSERT_TRUE(front_.LoadSettings("Copy", copy));
  EXPECT_EQ(copy.wait_time, 33);
  EXPECT_EQ(copy.dial_time, 9);
  EXPECT_EQ(copy.execute, std::vector<std::string>{"global.sh"});  // "DefLoad NO": no doubles
  EXPECT_EQ(copy.entry_name, "Office");

  EXPECT_GT(front_.DeleteSection(s), 0);
  EXPECT_EQ(front_.CountSections(), 1);
  EXPECT_EQ(front_.DeleteSection(s), 0);
  EXPECT_FALSE(front_.LoadSettings("Nowhere", s));
  EXPECT_EQ(front_.EntryNames(), (std::vector<std::string>{"Office", "Other"}));
  FrontSettings defaults;
  ASSERT_TRUE(front_.EntryDefaults("office", defaults));
  EXPECT_EQ(defaults.phone, "555-0100");
}

}  // namespace
}  // namespace netrove
