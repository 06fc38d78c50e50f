// One dial attempt, hang-up, finding and breaking connections, against the
// scripted remote-access layer.
#include <gtest/gtest.h>

#include "dialer/dial_fixture.h"

namespace netrove {
namespace {

using Fake = FakeRemoteAccess;
using Strings = std::vector<std::string>;

class DialTest : public DialFixture {
 protected:
  void SetUp() override {
    DialFixture::SetUp();
    dialer_->PrepareForSession();
  }
  // Milliseconds one DialEntry call takes; it must return `want`.
  int64_t TimedDial(bool want) {
    int64_t start = fake_->now_ms();
    EXPECT_EQ(dialer_->DialEntry(), want);
    return fake_->now_ms() - start;
  }
};

TEST_F(DialTest, ConnectsFailsAndTimesOut) {
  fake_->Script({Fake::Connect(3000), Fake::Fail(kErrorLineBusy), Fake::Hang()});
  UpdateConfig([](ConfigRecord& c) { c.dial_time = 30; });
  EXPECT_TRUE(dialer_->DialEntry());
  EXPECT_EQ(dialer_->dial_result(), kDialConnected);
  EXPECT_NE(dialer_->handle(), 0u);
  EXPECT_TRUE(Logged("Connecting to Demo (555)"));
  EXPECT_EQ(status_.front(), "ESC-cancel, Space-try, S-sleep - Connecting... (30) ");
  dialer_->HangUp();
  EXPECT_EQ(dialer_->handle(), 0u);
  EXPECT_TRUE(dialer_->DialEntry());
  EXPECT_EQ(dialer_->dial_result(), kErrorLineBusy);
  int64_t took = TimedDial(false);  // no answer within DIALTIME
  EXPECT_GE(took, 30000);
  EXPECT_LT(took, 33000);
  EXPECT_EQ(dialer_->dial_result(), 0);
  EXPECT_EQ(fake_->Dials().size(), 3u);
}

TEST_F(DialTest, NumbersRotateWithPrefixDefaultAndSchedule) {
  UpdateConfig([](ConfigRecord& c) {
    c.dial_prefix = "p";
    c.add_phone = {"", "111", "222", "333"};
  });
  fake_->Script({Fake::Fail(kErrorNoAnswer, 100)});
  for (int i = 0; i < 6; ++i) {
    EXPECT_TRUE(dialer_->DialEntry());
    dialer_->AdvanceDialAttempt();
  }
  EXPECT_EQ(fake_->DialledNumbers(), (Strings{"p555", "p111", "p222", "p333", "p555", "p111"}));
  // Without PHONE: the entry's number after the prefix; without any number
  // the backend dials the entry's own, never the word "Default".
  UpdateConfig([](ConfigRecord& c) {
    c.phone.clear();
    c.dial_prefix = "9,";
    c.add_phone = {""};
  });
  fake_->set_entry_phone("777");
  EXPECT_TRUE(dialer_->DialEntry());
  fake_->set_entry_phone("");
  EXPECT_TRUE(dialer_->DialEntry());
  EXPECT_TRUE(Logged("Connecting to Demo (Default)"));
  Strings numbers = fake_->DialledNumbers();
  EXPECT_EQ(Strings(numbers.end() - 2, numbers.end()), (Strings{"9,777", ""}));
}

TEST_F(DialTest, NumberOutsideItsScheduleReports637WithoutDialing) {
  UpdateConfig([](ConfigRecord& c) { c.add_phone = {"", "2:00-10:00|888"}; });  // it is 12:00
  Shared().connection_arg.Set("/home/u/work.lnk");
  dialer_->AdvanceDialAttempt();
  EXPECT_LT(TimedDial(true), 1000);
  EXPECT_EQ(dialer_->dial_result(), kErrorOutsideSchedule);
  EXPECT_TRUE(fake_->Dials().empty());
  EXPECT_TRUE(Logged("Connecting to Demo/work (888)"));
  UpdateConfig([](ConfigRecord& c) { c.add_phone = {"", "11:00-12:00|888"}; });
  EXPECT_TRUE(dialer_->DialEntry());
  EXPECT_EQ(fake_->DialledNumbers(), Strings{"888"});
}

TEST_F(DialTest, PlusAndMinusChangeDialTimeNeverBelowTen) {
  fake_->Script({Fake::Hang()});
  UpdateConfig([](ConfigRecord& c) { c.dial_time = 12; });
  for (int i = 0; i < 2; ++i) fake_->AddKey(500, '+');
  for (int i = 0; i < 5; ++i) fake_->AddKey(600, '-');
  int64_t took = TimedDial(false);  // this countdown: 12 + 2 - 5 = 9 seconds
  EXPECT_EQ(CurrentConfig()->dial_time, 10);
  EXPECT_GE(took, 9000);
  EXPECT_LT(took, 12000);
  EXPECT_GE(fake_->hangups(), 1);
}

TEST_F(DialTest, KeysAndRequestsDuringTheCountdown) {
  fake_->Script({Fake::Hang()});
  struct Case {
    int key;          // pressed a second into the countdown, or 0
    uint8_t request;  // made in its third second, or none
    bool sleep_flag;  // SLEEPFLAG set
    bool abandons;    // else it runs into the 10-second timeout
    uint8_t request_after;
  } cases[] = {
      {' ', kRequestNone, false, true, kRequestNone},
      {27, kRequestNone, false, true, kRequestStop},
      {'s', kRequestNone, false, false, kRequestNone},
      {'s', kRequestNone, true, true, kRequestNone},
      {0, kRequestTestLink, false, false, kRequestNone},
      {0, kRequestRedial, false, true, kRequestRedial},  // left for the session
      {0, kRequestSleep, false, false, kRequestNone},
      {0, kRequestSleep, true, true, kRequestSleep},
      {0, kRequestStop, false, true, kRequestStop},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "key " << c.key << " request " << int{c.request});
    UpdateConfig([&](ConfigRecord& r) {
      r.dial_time = 10;
      r.sleep_flag = c.sleep_flag ? "sleep.flg" : "";
    });
    Shared().control_request = kRequestNone;
    flags_.clear();
    if (c.key != 0) fake_->AddKey(fake_->now_ms() + 1000, c.key);
    size_t first = status_.size();
    on_status_ = [this, first, &c] {
      if (status_.size() == first + 3 && c.request != kRequestNone)
        Shared().control_request = c.request;
    };
    int64_t took = TimedDial(false);
    on_status_ = nullptr;
    EXPECT_EQ(took < 5000, c.abandons) << took;
    EXPECT_GE(took, c.abandons ? 0 : 10000);
    EXPECT_EQ(int{Shared().control_request}, int{c.request_after});
    EXPECT_EQ(flags_, c.abandons && c.sleep_flag ? Strings{"+sleep.flg"} : Strings{});
  }
  // A request made before the attempt is cleared at its start.
  Shared().control_request = kRequestRedial;
  EXPECT_GE(TimedDial(false), 10000);
}

TEST_F(DialTest, HangUpFlagsTenTriesAndKeepLink) {
  UpdateConfig([](ConfigRecord& c) {
    c.dial_flag = "dial.flg";
    c.connect_flag = "connect.flg";
  });
  fake_->Script({Fake::Connect(1000)});
  EXPECT_TRUE(dialer_->DialEntry());
  dialer_->HangUp();
  dialer_->HangUp();  // nothing left to do
  EXPECT_EQ(flags_, (Strings{"+dial.flg", "-connect.flg", "-dial.flg"}));
  // A connection that will not hang up is tried ten times, half a second apart.
  for (int stubborn : {3, 100}) {
    EXPECT_TRUE(dialer_->DialEntry());
    fake_->set_stubborn_hangups(stubborn);
    int before = fake_->hangups();
    int64_t start = fake_->now_ms();
    dialer_->HangUp();
    EXPECT_EQ(fake_->hangups() - before, std::min(stubborn + 1, 10));
    if (stubborn > 10) {
      EXPECT_EQ(fake_->now_ms() - start, 10 * 500 + 500);
    }
  }
  fake_->set_stubborn_hangups(0);
  // The exit procedure leaves the link up when asked to keep it.
  EXPECT_TRUE(dialer_->DialEntry());
  dialer_->set_keep_link(true);
  dialer_->ExitHangUp();
  EXPECT_NE(dialer_->handle(), 0u);
  dialer_->set_keep_link(false);
  dialer_->ExitHangUp();
  EXPECT_EQ(dialer_->handle(), 0u);
}

TEST_F(DialTest, FindActiveConnectionAndBreak) {
  EXPECT_EQ(dialer_->BreakConnections("*"), 0);
  EXPECT_EQ(written_, "Not found active connections\n");
  fake_->AddForeign(0x80000001u, "DEMO");
  EXPECT_TRUE(dialer_->FindActiveConnection(false));
  UpdateConfig([](ConfigRecord& c) { c.break_if_found = false; });
  EXPECT_FALSE(dialer_->FindActiveConnection(true));
  EXPECT_TRUE(Log().empty());
  UpdateConfig([](ConfigRecord& c) { c.break_if_found = true; });
  EXPECT_TRUE(dialer_->FindActiveConnection(true));
  EXPECT_EQ(Log(), (Strings{"Found active connection as DEMO.", "Aborted!"}));
  EXPECT_EQ(Shared().control_request, kRequestStop);
  EXPECT_EQ(events_, Strings{"stop_services"});
  // BREAK by name or all.
  fake_->AddForeign(0x80000002u, "Work");
  written_.clear();
  EXPECT_EQ(dialer_->BreakConnections("work"), 1);
  EXPECT_EQ(written_, "Found connection DEMO\nFound connection WORK - BREAK\n");
  fake_->AddForeign(0x80000003u, "Other");
  written_.clear();
  EXPECT_EQ(dialer_->BreakConnections("*"), 2);
  EXPECT_EQ(written_, "Found connection DEMO - BREAK\nFound connection OTHER - BREAK\n");
}

}  // namespace
}  // namespace netrove
