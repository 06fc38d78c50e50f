// Dial attempts, hang-up, finding and breaking connections; the decoder of keys and requests.
#include "dialer/dial.h"

#include <gtest/gtest.h>

#include "dialer/dial_fixture.h"
#include "dialer/intent.h"

namespace netrove {
namespace {

TEST(IntentTest, KeysAndRequestsDecodeToOneIntent) {
  const std::pair<int, Intent> keys[] = {
      {kKeyEsc, Intent::kStop}, {' ', Intent::kSkip},   {'s', Intent::kSleep},
      {'S', Intent::kSleep},    {'+', Intent::kLonger}, {'-', Intent::kShorter},
      {'t', Intent::kTest},     {'T', Intent::kTest},   {'x', Intent::kNone},
      {'\r', Intent::kNone},    {0, Intent::kNone},     {'1', Intent::kNone}};
  for (const auto& [key, intent] : keys) EXPECT_EQ(KeyIntent(key), intent) << key;
  for (int request : {int{kRequestNone}, 5, 255}) EXPECT_EQ(RequestIntent(request), Intent::kNone);
}

class DialTest : public DialFixture {
 protected:
  // Milliseconds one DialEntry call takes; it must return `want`.
  int64_t TimedDial(bool want) {
    int64_t start = line_.now_ms();
    EXPECT_EQ(dialer_.DialEntry(), want);
    return line_.now_ms() - start;
  }
  bool Linked() {
    ConnectStatus status;
    return dialer_.LinkStatus(status) == 0 && status.state == kStateConnected;
  }
};

TEST_F(DialTest, NumbersRotateWithPrefixDefaultAndSchedule) {
  Config([](ConfigRecord& c) {
    c.dial_prefix = "p";
    c.add_phone = {"", "111", "222", "333"};
  });
  line_.Script({Line::Fail(kErrorNoAnswer, 100)});
  for (int i = 0; i < 6; ++i) {
    EXPECT_TRUE(dialer_.DialEntry());
    dialer_.AdvanceDialAttempt();
  }
  EXPECT_EQ(line_.DialledNumbers(), (Strings{"p555", "p111", "p222", "p333", "p555", "p111"}));
  // Without PHONE: the entry's number; without any, the backend's own, never the word "Default".
  Config([](ConfigRecord& c) {
    c.phone.clear();
    c.dial_prefix = "9,";
    c.add_phone = {""};
  });
  line_.entry_phone = "777";
  EXPECT_TRUE(dialer_.DialEntry());
  line_.entry_phone = "";
  EXPECT_TRUE(dialer_.DialEntry());
  EXPECT_TRUE(ctx_.Has("Connecting to Demo (Default)"));
  Strings numbers = line_.DialledNumbers();
  EXPECT_EQ(Strings(numbers.end() - 2, numbers.end()), (Strings{"9,777", ""}));
  // A number outside its time windows (it is 12:00) is not dialled: 637 at once.
  Config([](ConfigRecord& c) { c.add_phone = {"", "2:00-10:00|888"}; });
  ctx_.shared.connection_arg.Set("/home/u/work.lnk");
  dialer_.AdvanceDialAttempt();
  EXPECT_LT(TimedDial(true), 1000);
  EXPECT_EQ(dialer_.dial_result(), kErrorOutsideSchedule);
  EXPECT_EQ(line_.DialledNumbers().size(), numbers.size());
  EXPECT_TRUE(ctx_.Has("Connecting to Demo/work (888)"));
}

// "+" and "-" change the countdown of an unanswered attempt and DIALTIME (ten seconds at least).
TEST_F(DialTest, CountdownRunsOutPlusMinusKeysAndRequestsChangeIt) {
  line_.Script({Line::Hang()});
  Config([](ConfigRecord& c) { c.dial_time = 12; });
  for (int i = 0; i < 2; ++i) line_.AddKey(500, '+');
  for (int i = 0; i < 5; ++i) line_.AddKey(600, '-');
  int64_t took = TimedDial(false);  // 12 + 2 - 5 = 9 seconds
  EXPECT_GE(took, 9000);
  EXPECT_LT(took, 12000);
  EXPECT_EQ(dialer_.dial_result(), 0);
  EXPECT_EQ(ctx_.config.Current()->dial_time, 10);
  EXPECT_EQ(line_.status.front(), "ESC-cancel, Space-try, S-sleep - Connecting... (12) ");
  EXPECT_EQ(ctx_.Lines(), Strings{"Connecting to Demo (555)"});
  EXPECT_GE(line_.hangups(), 1);
  // Keys and requests during the countdown (DIALTIME now 10).
  struct Case {
    int key;          // pressed a second into the countdown, or 0
    uint8_t request;  // made in its third second, or none
    bool sleep_flag;  // SLEEPFLAG set
    bool abandons;    // else it runs into the 10-second timeout
    uint8_t request_after;
  } cases[] = {
      {' ', kRequestNone, false, true, kRequestNone},
      {kKeyEsc, kRequestNone, false, true, kRequestStop},
      {'s', kRequestNone, false, false, kRequestNone},
      {'s', kRequestNone, true, true, kRequestNone},
      {0, kRequestTestLink, false, false, kRequestNone},
      {0, kRequestRedial, false, true, kRequestRedial},  // left for the session
      {0, kRequestSleep, false, false, kRequestNone},
      {0, kRequestSleep, true, true, kRequestSleep},
      {0, kRequestStop, false, true, kRequestStop},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "key " << c.key << " request " << int{c.request});
    Config([&](ConfigRecord& r) { r.sleep_flag = c.sleep_flag ? "sleep.flg" : ""; });
    ctx_.shared.control_request = kRequestNone;
    (void)env_.RemoveFile("sleep.flg");
    if (c.key != 0) line_.AddKey(line_.now_ms() + 1000, c.key);
    size_t first = line_.status.size();
    line_.on_status = [this, first, &c] {
      if (line_.status.size() == first + 3 && c.request != kRequestNone)
        ctx_.shared.control_request = c.request;
    };
    int64_t took = TimedDial(false);
    line_.on_status = nullptr;
    EXPECT_EQ(took < 5000, c.abandons) << took;
    EXPECT_GE(took, c.abandons ? 0 : 10000);
    EXPECT_EQ(int{Request()}, int{c.request_after});
    EXPECT_EQ(Exists("sleep.flg"), c.abandons && c.sleep_flag);
  }
  // A request made before the attempt is cleared at its start.
  ctx_.shared.control_request = kRequestRedial;
  EXPECT_GE(TimedDial(false), 10000);
}

TEST_F(DialTest, HangUpFlagsTenTriesAndKeepLink) {
  Config([](ConfigRecord& c) {
    c.dial_flag = "dial.flg";
    c.connect_flag = "connect.flg";
  });
  line_.Script({Line::Connect(1000)});
  EXPECT_TRUE(dialer_.DialEntry());
  EXPECT_TRUE(Exists("dial.flg"));
  env_.PutFile("connect.flg", "");  // made by the session on-line
  dialer_.HangUp();
  dialer_.HangUp();  // nothing left to do
  EXPECT_FALSE(Exists("dial.flg") || Exists("connect.flg"));
  // A connection that will not hang up is tried ten times, half a second apart.
  for (int stubborn : {3, 100}) {
    EXPECT_TRUE(dialer_.DialEntry());
    line_.stubborn_hangups = stubborn;
    int before = line_.hangups();
    int64_t start = line_.now_ms();
    dialer_.HangUp();
    EXPECT_EQ(line_.hangups() - before, std::min(stubborn + 1, 10));
    EXPECT_EQ(line_.now_ms() - start, std::min(stubborn + 1, 10) * 500 + 500);
  }
  line_.stubborn_hangups = 0;
  // The exit procedure leaves the link up when asked to keep it.
  EXPECT_TRUE(dialer_.DialEntry());
  dialer_.set_keep_link(true);
  dialer_.ExitHangUp();
  EXPECT_TRUE(Linked());
  dialer_.set_keep_link(false);
  dialer_.ExitHangUp();
  EXPECT_FALSE(Linked());
}

// (BREAK * and an empty list are checked on the real program, tests/cases/dial.)
TEST_F(DialTest, FindActiveConnectionAndBreakByName) {
  line_.AddForeign(0x80000001u, "DEMO");
  EXPECT_TRUE(dialer_.FindActiveConnection(false));
  Config([](ConfigRecord& c) { c.break_if_found = false; });
  EXPECT_FALSE(dialer_.FindActiveConnection(true));  // reported only with BREAKIFFOUND
  EXPECT_TRUE(ctx_.Lines().empty());
  line_.AddForeign(0x80000002u, "Work");
  EXPECT_EQ(dialer_.BreakConnections("work"), 1);
  EXPECT_EQ(line_.written, "Found connection DEMO\nFound connection WORK - BREAK\n");
}

}  // namespace
}  // namespace netrove
