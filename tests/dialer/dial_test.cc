// One dial attempt, hang-up, finding and breaking connections, against the
// scripted remote-access layer.
#include <gtest/gtest.h>

#include "dialer/dial_fixture.h"

namespace netrove {
namespace {

using Outcome = FakeRemoteAccess::Outcome;

class DialTest : public DialFixture {
 protected:
  void SetUp() override {
    DialFixture::SetUp();
    dialer_->PrepareForSession();
  }
};

TEST_F(DialTest, ConnectsFailsAndTimesOut) {
  fake_->Script({FakeRemoteAccess::Connect(3000), FakeRemoteAccess::Fail(kErrorLineBusy),
                 FakeRemoteAccess::Hang()});
  UpdateConfig([](ConfigRecord& c) { c.dial_time = 30; });

  EXPECT_TRUE(dialer_->DialEntry());
  EXPECT_EQ(dialer_->dial_result(), kDialConnected);
  EXPECT_NE(dialer_->handle(), 0u);
  EXPECT_TRUE(Logged("Connecting to Demo (555)"));
  dialer_->HangUp();
  EXPECT_EQ(dialer_->handle(), 0u);

  EXPECT_TRUE(dialer_->DialEntry());
  EXPECT_EQ(dialer_->dial_result(), kErrorLineBusy);

  int64_t start = fake_->now_ms();
  EXPECT_FALSE(dialer_->DialEntry());  // no answer within DIALTIME
  int64_t took = fake_->now_ms() - start;
  EXPECT_GE(took, 30000);
  EXPECT_LT(took, 33000);
  EXPECT_EQ(dialer_->dial_result(), 0);
  EXPECT_EQ(fake_->Dials().size(), 3u);
  // The countdown shows the seconds left.
  ASSERT_FALSE(status_.empty());
  EXPECT_EQ(status_.front(), "ESC-cancel, Space-try, S-sleep - Connecting... (30) ");
}

TEST_F(DialTest, RotatesOverPhoneAndAddPhoneWithPrefix) {
  UpdateConfig([](ConfigRecord& c) {
    c.dial_prefix = "p";
    c.add_phone = {"", "111", "222", "333"};
  });
  fake_->Script({FakeRemoteAccess::Fail(kErrorNoAnswer, 100)});
  for (int i = 0; i < 6; ++i) {
    EXPECT_TRUE(dialer_->DialEntry());
    dialer_->AdvanceDialAttempt();
  }
  EXPECT_EQ(fake_->DialledNumbers(),
            (std::vector<std::string>{"p555", "p111", "p222", "p333", "p555", "p111"}));
}

TEST_F(DialTest, EntryNumberAndDefault) {
  UpdateConfig([](ConfigRecord& c) {
    c.phone.clear();
    c.dial_prefix = "9,";
  });
  fake_->set_entry_phone("777");
  fake_->Script({FakeRemoteAccess::Fail(kErrorNoAnswer, 100)});
  EXPECT_TRUE(dialer_->DialEntry());
  EXPECT_EQ(fake_->DialledNumbers().back(), "9,777");

  // No number anywhere: the backend dials the entry's own (empty) number,
  // never the word "Default".
  fake_->set_entry_phone("");
  EXPECT_TRUE(dialer_->DialEntry());
  EXPECT_EQ(fake_->DialledNumbers().back(), "");
  EXPECT_TRUE(Logged("Connecting to Demo (Default)"));
}

TEST_F(DialTest, NumberOutsideScheduleReports637WithoutDialing) {
  UpdateConfig([](ConfigRecord& c) { c.add_phone = {"", "2:00-10:00|888"}; });
  Shared().connection_arg.Set("/home/u/work.lnk");
  dialer_->AdvanceDialAttempt();
  int64_t start = fake_->now_ms();
  EXPECT_TRUE(dialer_->DialEntry());
  EXPECT_EQ(dialer_->dial_result(), kErrorOutsideSchedule);
  EXPECT_TRUE(fake_->Dials().empty());
  EXPECT_LT(fake_->now_ms() - start, 1000);
  EXPECT_TRUE(Logged("Connecting to Demo/work (888)"));
  // Inside the window the same number is dialled.
  UpdateConfig([](ConfigRecord& c) { c.add_phone = {"", "11:00-12:00|888"}; });
  EXPECT_TRUE(dialer_->DialEntry());
  EXPECT_EQ(fake_->DialledNumbers(), std::vector<std::string>{"888"});
}

TEST_F(DialTest, KeysDuringTheCountdown) {
  fake_->Script({FakeRemoteAccess::Hang()});
  UpdateConfig([](ConfigRecord& c) { c.dial_time = 12; });
  // "+" twice then "-" five times: DIALTIME 12 -> 14 -> never below 10.
  for (int i = 0; i < 2; ++i) fake_->AddKey(500, '+');
  for (int i = 0; i < 5; ++i) fake_->AddKey(600, '-');
  int64_t start = fake_->now_ms();
  EXPECT_FALSE(dialer_->DialEntry());
  EXPECT_EQ(CurrentConfig()->dial_time, 10);
  // This countdown: 12 + 2 - 5 = 9 seconds.
  EXPECT_GE(fake_->now_ms() - start, 9000);
  EXPECT_LT(fake_->now_ms() - start, 12000);
  EXPECT_GE(fake_->hangups(), 1);

  // Space abandons at once, without a stop request.
  fake_->AddKey(fake_->now_ms() + 2000, ' ');
  start = fake_->now_ms();
  EXPECT_FALSE(dialer_->DialEntry());
  EXPECT_LT(fake_->now_ms() - start, 5000);
  EXPECT_EQ(Shared().control_request, kRequestNone);

  // ESC abandons and asks the session to stop.
  fake_->AddKey(fake_->now_ms() + 1000, 27);
  EXPECT_FALSE(dialer_->DialEntry());
  EXPECT_EQ(Shared().control_request, kRequestStop);
}

TEST_F(DialTest, SleepKeyNeedsSleepFlag) {
  fake_->Script({FakeRemoteAccess::Hang()});
  UpdateConfig([](ConfigRecord& c) { c.dial_time = 10; });
  fake_->AddKey(1000, 's');
  int64_t start = fake_->now_ms();
  EXPECT_FALSE(dialer_->DialEntry());  // S ignored: runs into the timeout
  EXPECT_GE(fake_->now_ms() - start, 10000);
  EXPECT_TRUE(flags_.empty());

  UpdateConfig([](ConfigRecord& c) { c.sleep_flag = "sleep.flg"; });
  fake_->AddKey(fake_->now_ms() + 1000, 's');
  start = fake_->now_ms();
  EXPECT_FALSE(dialer_->DialEntry());
  EXPECT_LT(fake_->now_ms() - start, 5000);
  EXPECT_EQ(flags_, std::vector<std::string>{"+sleep.flg"});
}

TEST_F(DialTest, RequestsDuringTheCountdown) {
  fake_->Script({FakeRemoteAccess::Hang()});
  UpdateConfig([](ConfigRecord& c) { c.dial_time = 10; });
  // A request made before the attempt is cleared at its start: the
  // attempt runs to its timeout.
  Shared().control_request = kRequestRedial;
  int64_t start = fake_->now_ms();
  EXPECT_FALSE(dialer_->DialEntry());
  EXPECT_GE(fake_->now_ms() - start, 10000);

  // Requests arriving in the third second of the countdown.
  auto request_at_third_second = [this](uint8_t request) {
    size_t first = status_.size();
    on_status_ = [this, first, request] {
      if (status_.size() == first + 3) Shared().control_request = request;
    };
  };
  request_at_third_second(kRequestTestLink);  // cleared, the attempt goes on
  start = fake_->now_ms();
  EXPECT_FALSE(dialer_->DialEntry());
  EXPECT_GE(fake_->now_ms() - start, 10000);
  EXPECT_EQ(Shared().control_request, kRequestNone);

  request_at_third_second(kRequestRedial);  // abandons
  start = fake_->now_ms();
  EXPECT_FALSE(dialer_->DialEntry());
  EXPECT_LT(fake_->now_ms() - start, 5000);

  request_at_third_second(kRequestSleep);  // without SLEEPFLAG: ignored
  start = fake_->now_ms();
  EXPECT_FALSE(dialer_->DialEntry());
  EXPECT_GE(fake_->now_ms() - start, 10000);
  EXPECT_TRUE(flags_.empty());

  UpdateConfig([](ConfigRecord& c) { c.sleep_flag = "sleep.flg"; });
  request_at_third_second(kRequestSleep);
  start = fake_->now_ms();
  EXPECT_FALSE(dialer_->DialEntry());
  EXPECT_LT(fake_->now_ms() - start, 5000);
  EXPECT_EQ(flags_, std::vector<std::string>{"+sleep.flg"});

  request_at_third_second(kRequestStop);  // hangs up, abandons, stays 1
  EXPECT_FALSE(dialer_->DialEntry());
  EXPECT_EQ(Shared().control_request, kRequestStop);
  on_status_ = nullptr;
}

TEST_F(DialTest, DialAndConnectFlags) {
  UpdateConfig([](ConfigRecord& c) {
    c.dial_flag = "dial.flg";
    c.connect_flag = "connect.flg";
  });
  fake_->Script({FakeRemoteAccess::Connect(1000)});
  EXPECT_TRUE(dialer_->DialEntry());
  dialer_->HangUp();
  EXPECT_EQ(flags_, (std::vector<std::string>{"+dial.flg", "-connect.flg", "-dial.flg"}));
  // A second hang-up has nothing to do.
  dialer_->HangUp();
  EXPECT_EQ(flags_.size(), 3u);
}

TEST_F(DialTest, HangUpRepeatsTenTimesAtMost) {
  fake_->Script({FakeRemoteAccess::Connect(1000)});
  EXPECT_TRUE(dialer_->DialEntry());
  fake_->set_stubborn_hangups(3);
  int before = fake_->hangups();
  dialer_->HangUp();
  EXPECT_EQ(fake_->hangups() - before, 4);

  EXPECT_TRUE(dialer_->DialEntry());
  fake_->set_stubborn_hangups(100);
  before = fake_->hangups();
  int64_t start = fake_->now_ms();
  dialer_->HangUp();
  EXPECT_EQ(fake_->hangups() - before, 10);
  EXPECT_EQ(fake_->now_ms() - start, 10 * 500 + 500);
}

TEST_F(DialTest, FindActiveConnectionAndBreakIfFound) {
  fake_->AddForeign(0x80000001u, "DEMO");
  EXPECT_TRUE(dialer_->FindActiveConnection(false));
  UpdateConfig([](ConfigRecord& c) { c.break_if_found = false; });
  EXPECT_FALSE(dialer_->FindActiveConnection(true));
  EXPECT_TRUE(Log().empty());
  UpdateConfig([](ConfigRecord& c) { c.break_if_found = true; });
  EXPECT_TRUE(dialer_->FindActiveConnection(true));
  EXPECT_TRUE(Logged("Found active connection as DEMO."));
  EXPECT_TRUE(Logged("Aborted!"));
  EXPECT_EQ(Shared().control_request, kRequestStop);
  EXPECT_EQ(events_, std::vector<std::string>{"stop_services"});
}

TEST_F(DialTest, BreakConnectionsByNameOrAll) {
  EXPECT_EQ(dialer_->BreakConnections("*"), 0);
  EXPECT_EQ(written_, "Not found active connections\n");

  written_.clear();
  fake_->AddForeign(0x80000001u, "Demo");
  fake_->AddForeign(0x80000002u, "Work");
  EXPECT_EQ(dialer_->BreakConnections("work"), 1);
  EXPECT_EQ(written_, "Found connection DEMO\nFound connection WORK - BREAK\n");

  written_.clear();
  fake_->AddForeign(0x80000003u, "Other");
  EXPECT_EQ(dialer_->BreakConnections("*"), 2);
  EXPECT_EQ(written_, "Found connection DEMO - BREAK\nFound connection OTHER - BREAK\n");
}

TEST_F(DialTest, ExitHangUpHonoursKeepLink) {
  fake_->Script({FakeRemoteAccess::Connect(1000)});
  EXPECT_TRUE(dialer_->DialEntry());
  dialer_->set_keep_link(true);
  dialer_->ExitHangUp();
  EXPECT_NE(dialer_->handle(), 0u);
  dialer_->set_keep_link(false);
  dialer_->ExitHangUp();
  EXPECT_EQ(dialer_->handle(), 0u);
}

}  // namespace
}  // namespace netrove
