// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/virtual_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace ktal::sim {
namespace {

TEST(VirtualClockTest, RunsEventsInTimeOrderThenStopsAtTarget) {
  VirtualClock clock;
  std::string order;
  std::vector<std::int64_t> times;
  clock.Schedule(300, [&] {
    order += 'c';
    times.push_back(clock.NowMicros());
  });
  clock.Schedule(100, [&] {
    order += 'a';
    times.push_back(clock.NowMicros());
  });
  clock.Schedule(100, [&] {
    order += 'b';
    times.push_back(clock.NowMicros());
  });
  clock.Schedule(900, [&] { order += 'z'; });

  clock.AdvanceTo(500);

  EXPECT_EQ(order, "abc");  // equal times keep the order they were scheduled in
  EXPECT_EQ(times, (std::vector<std::int64_t>{100, 100, 300}));
  EXPECT_EQ(clock.NowMicros(), 500);
  EXPECT_EQ(clock.NextEventTime(), 900);
}

TEST(VirtualClockTest, EventsScheduledByEventsRunInTheSameAdvance) {
  VirtualClock clock;
  std::vector<std::int64_t> times;
  clock.Schedule(100, [&] {
    clock.ScheduleIn(50, [&] { times.push_back(clock.NowMicros()); });
    clock.ScheduleIn(500, [&] { times.push_back(clock.NowMicros()); });
  });
  clock.AdvanceTo(200);
  EXPECT_EQ(times, (std::vector<std::int64_t>{150}));
  clock.AdvanceTo(1000);
  EXPECT_EQ(times, (std::vector<std::int64_t>{150, 600}));
}

TEST(VirtualClockTest, CancelledEventNeverRuns) {
  VirtualClock clock;
  bool ran = false;
  const auto id = clock.ScheduleIn(10, [&] { ran = true; });
  EXPECT_TRUE(clock.Cancel(id));
  EXPECT_FALSE(clock.Cancel(id));
  clock.AdvanceBy(100);
  EXPECT_FALSE(ran);
  EXPECT_FALSE(clock.NextEventTime().has_value());
}

TEST(VirtualClockTest, PastEventRunsAtNextAdvanceWithoutTurningTimeBack) {
  VirtualClock clock(1000);
  std::int64_t seen = -1;
  clock.Schedule(10, [&] { seen = clock.NowMicros(); });
  clock.AdvanceTo(500);  // backwards: time stays, but the due event runs
  EXPECT_EQ(seen, 1000);
  EXPECT_EQ(clock.NowMicros(), 1000);
}

TEST(VirtualClockTest, SleepIsAWaitAdvanceIsNot) {
  VirtualClock clock;
  bool ran = false;
  clock.ScheduleIn(40'000, [&] { ran = true; });
  clock.SleepMs(50);
  EXPECT_TRUE(ran);
  clock.AdvanceBy(1'000'000);  // what a read time-out does
  clock.SleepMs(100);
  EXPECT_EQ(clock.waits(), (std::vector<std::uint32_t>{50, 100}));
  EXPECT_EQ(clock.NowMicros(), 1'150'000);
  clock.clear_waits();
  EXPECT_TRUE(clock.waits().empty());
}

TEST(VirtualClockTest, AdvanceFromInsideAnEventDoesNotMoveTime) {
  VirtualClock clock;
  std::int64_t after = -1;
  clock.Schedule(100, [&] {
    clock.AdvanceTo(5000);
    after = clock.NowMicros();
  });
  clock.AdvanceTo(200);
  EXPECT_EQ(after, 100);
  EXPECT_EQ(clock.NowMicros(), 200);
}

TEST(VirtualClockTest, PacingReallySleepsScaledTime) {
  VirtualClock clock;
  clock.SetRealTimePacing(0.5);
  const auto start = std::chrono::steady_clock::now();
  clock.SleepMs(60);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(30));
  EXPECT_EQ(clock.NowMicros(), 60'000);
}

// A window waiting on the guider is handed its events every 20 ms of the
// guider's time (a wait and a read's time-out both advance the clock),
// while the guider's own events still run at their times. The handler is
// never re-entered by a wait of its own, and a wait stays one wait.
TEST(VirtualClockTest, IdleHandlerRunsEveryStepOfTheGuidersTime) {
  VirtualClock clock;
  std::vector<std::int64_t> idle;
  std::vector<std::int64_t> event;
  clock.SetIdleHandler(
      [&] {
        idle.push_back(clock.NowMicros());
        clock.SleepMs(5);  // inside the handler: no second call
      },
      20);
  clock.Schedule(35'000, [&] { event.push_back(clock.NowMicros()); });
  clock.SleepMs(100);
  // 20, then 45 (20 + the handler's own 5), 70, 95; the handler's time is
  // part of the wait, as on the system clock.
  EXPECT_EQ(idle, (std::vector<std::int64_t>{20'000, 45'000, 70'000, 95'000}));
  EXPECT_EQ(event, std::vector<std::int64_t>{35'000});
  EXPECT_EQ(clock.waits(), (std::vector<std::uint32_t>{100, 5, 5, 5, 5}));
  EXPECT_EQ(clock.NowMicros(), 100'000);
}

}  // namespace
}  // namespace ktal::sim
