#include <ctime>

#include "accounting/clock.h"
#include "dialer/events_fixture.h"
#include "dialer/execute_at.h"
#include "lib/local_time.h"

namespace netrove {
namespace {

// A time on March 2024, the 5th unless said otherwise.
uint32_t At(int hour, int minute, int second, int day = 5) {
  return testing_time::NowSecondsAt(2024, 3, day, hour, minute, second);
}

TEST(ExecuteAtSchedule, DailyTimeRunsOnceADayInItsMinute) {
  EXPECT_EQ(FirstExecuteAt("10:15", At(10, 14, 20)), At(10, 15, 0));
  EXPECT_EQ(FirstExecuteAt("10:15", At(10, 15, 20)), At(10, 15, 0));  // due at once
  EXPECT_EQ(FirstExecuteAt("10:15", At(10, 16, 0)), At(10, 15, 0, 6));

  // Runs that happen on time, a little late, or late by hours: each next
  // run falls in the 10:15 minute of the following day.
  for (uint32_t lateness : {0u, 1u, 39u, 3 * 3600u}) {
    uint32_t due = At(10, 15, 0);
    for (int day = 0; day < 5; ++day) {
      uint32_t ran = due + lateness;
      uint32_t next = NextExecuteAt("10:15", due, ran);
      Calendar c = CalendarOf(next);
      EXPECT_EQ(c.hour, 10);
      EXPECT_EQ(c.minute, 15);
      EXPECT_GT(next, ran) << lateness;
      EXPECT_EQ(next, due + 86400) << lateness;  // not twice a day, no day skipped
      due = next;
    }
  }
}

TEST(ExecuteAtSchedule, MinutesRunEveryNMinutesWithoutCatchingUp) {
  EXPECT_EQ(FirstExecuteAt("5", At(8, 0, 7)), At(8, 5, 7));
  EXPECT_EQ(FirstExecuteAt("0", At(8, 0, 7)), At(8, 1, 7));
  uint32_t due = At(8, 5, 7);
  EXPECT_EQ(NextExecuteAt("5", due, due), At(8, 10, 7));
  EXPECT_EQ(NextExecuteAt("5", due, due + 2), At(8, 10, 7));  // no drift
  // Woken 17 minutes late: one run now, the next five minutes later.
  EXPECT_EQ(NextExecuteAt("5", due, due + 17 * 60), due + 22 * 60);
  // Never below one second, whatever the inputs.
  for (const char* text : {"0", "1", "junk", "10:15", "99:99"})
    for (uint32_t now : {At(10, 15, 0), At(23, 59, 59)})
      EXPECT_GE(NextExecuteAt(text, now + 120, now), now + 1) << text;
}

using ExecuteAtTask = EventsFixture;

TEST_F(ExecuteAtTask, RunsAtTheClockTimeOnceAndAgainNextDay) {
  std::atomic<int64_t> clock{At(10, 14, 59) - static_cast<int64_t>(kSecondsShift)};
  SetLocalClockForTesting([&] { return clock.load(); });
  std::atomic<int> runs{0};
  SetGetMailService([&] { ++runs; });
  StartExecuteAt("10:15", "$GETMAIL");
  EXPECT_EQ(ExecuteAtTaskCount(), 1);
  usleep(700 * 1000);
  EXPECT_EQ(runs, 0);
  clock += 1;  // 10:15:00
  EXPECT_TRUE(WaitFor([&] { return runs == 1; }, 3000));
  clock += 40;  // still in the minute
  usleep(700 * 1000);
  EXPECT_EQ(runs, 1);
  clock = At(10, 14, 0, 6) - static_cast<int64_t>(kSecondsShift);
  usleep(700 * 1000);
  EXPECT_EQ(runs, 1);
  clock = At(10, 15, 1, 6) - static_cast<int64_t>(kSecondsShift);
  EXPECT_TRUE(WaitFor([&] { return runs == 2; }, 3000));
  StopExecuteAtTasks();
  EXPECT_EQ(ExecuteAtTaskCount(), 0);
  int logged = 0;
  for (const std::string& line : Logged())
    if (line == "Execute $GETMAIL") ++logged;
  EXPECT_EQ(logged, 2);
}

}  // namespace
}  // namespace netrove
