// The configuration store's load on the in-memory Env: what it publishes,
// what it asks of the rest of the program, in which order, and the file
// problems that end the program.
#include <gtest/gtest.h>

#include "config/config.h"
#include "lib/test_context.h"
#include "runtime/clock.h"

namespace netrove {
namespace {

constexpr char kHome[] = "/home/office";
const std::string kFile = std::string(kHome) + "/netrove.dat";

class LoadTest : public ::testing::Test, public ConfigActions {
 protected:
  void SetUp() override { setenv("NETROVE_HOME", kHome, 1); }
  void TearDown() override { unsetenv("NETROVE_HOME"); }

  void Reset() override { calls_.push_back("reset"); }
  void Published(const ConfigRecord& r) override { calls_.push_back("published " + r.log_file); }
  void ExecuteStart(const std::string& c) override { calls_.push_back("start " + c); }
  void ExecuteAt(const std::string& t, const std::string& c) override {
    calls_.push_back("at " + t + " " + c);
  }

  std::optional<std::string> Load(const std::string& connection, bool collect = false) {
    ParseEnvironment parse;
    parse.now = NowSeconds(env_);
    parse.phonebook_path = "/nowhere/phonebook";
    return store_.Load(faults_, context_.log, context_.shared, *this, parse, connection, collect);
  }

  testing::FakeEnv env_;
  testing::FaultEnv faults_{env_};
  testing::TestContext context_{&faults_};
  ConfigStore store_;
  std::vector<std::string> calls_;
};

TEST_F(LoadTest, PublishesTheRecordWholeAndActsInFileOrder) {
  env_.PutFile(kFile,
               "ConnectFlag c.flg\r\nwhat 1\r\nExecuteStart global.exe\r\n"
               "[Provider]\r\nDefLoad No\r\nLogFile netrove.log\r\nBreak 30\r\nExecuteStart one.exe\r\n"
               "ExecuteAt 12:00 icq.exe\r\nExecuteStart two.exe\r\n");
  context_.shared.link_mode = kLinkOnline;
  context_.shared.control_request = kRequestStop;
  auto before = store_.Current();
  ASSERT_EQ(Load("Provider"), std::nullopt);
  auto c = store_.Current();
  EXPECT_NE(c, before);
  EXPECT_EQ(c->break_time, NowSeconds(env_) + 1800);
  EXPECT_EQ(c->connect_flag, "c.flg");  // kept by the section's reset
  // The section's reading only (DefLoad No), after the reset and the record.
  EXPECT_EQ(calls_, (std::vector<std::string>{"reset", "published netrove.log", "start one.exe",
                                              "at 12:00 icq.exe", "start two.exe"}));
  EXPECT_TRUE(store_.Warnings().empty());  // the global part's warning went with the reset
  EXPECT_EQ(context_.shared.link_mode, kLinkIdle);
  EXPECT_EQ(context_.shared.control_request, kRequestNone);
  EXPECT_EQ(context_.shared.status_text.Get(), "00:00:00");
  // Collect mode runs nothing; a reload keeps what survives a reset.
  calls_.clear();
  env_.PutFile(kFile, "what 1\n[Provider]\nExecuteStart one.exe\n");
  ASSERT_EQ(Load("Provider", true), std::nullopt);
  EXPECT_EQ(calls_, (std::vector<std::string>{"reset", "published "}));
  EXPECT_EQ(store_.Current()->collected_execute_start, std::vector<std::string>{"one.exe"});
  EXPECT_EQ(store_.Current()->connect_flag, "c.flg");
  EXPECT_EQ(store_.Warnings(),
            std::vector<std::string>{"Warning: Unknown command WHAT. (netrove.dat, line 1)"});
}

// A missing file is created with the default content (mode 0600); one that
// cannot be created or read is fatal, and is never replaced; an unknown
// connection names where it was looked for.
TEST_F(LoadTest, FileProblemsAreFatalAndNothingIsHalfWritten) {
  faults_.SetDiskFull(true);
  EXPECT_EQ(Load("Any"), "Can't create Netrove.dat file.");
  EXPECT_TRUE(env_.Paths().empty());
  faults_.SetDiskFull(false);
  faults_.FailWriteNumber(0);
  EXPECT_EQ(Load("Any"), "Can't create Netrove.dat file.");
  EXPECT_TRUE(env_.Paths().empty());
  EXPECT_EQ(Load("Any").value_or("").rfind("Connection not found.\n\"Any\" is neither a section of " +
                                              kFile + " nor an entry of the phonebook "
                                                      "/nowhere/phonebook (which does not exist)",
                                          0),
            0u);
  EXPECT_EQ(env_.Stat(kFile)->mode, 0600u);
  ASSERT_TRUE(env_.RemoveFile(kFile) && env_.MakeDirectory(kFile, 0755));
  EXPECT_EQ(Load("Any"), "Can't read Netrove.dat file.");
  EXPECT_TRUE(env_.Stat(kFile)->is_directory);
}

}  // namespace
}  // namespace netrove
