// The Asio timer against real time. Waits are short, and every bound leaves a wide margin for a
// busy machine: a test asserts what must or must not have happened, never an exact count of ticks
// over a stretch of wall-clock time.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "kestrel/platform/error.hpp"
#include "kestrel/platform/event_loop.hpp"

namespace kestrel::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kPatience = 5000ms;

class TimerTest : public ::testing::Test {
 protected:
  TimerTest() {
    timer = MakeAsioTimer(loop);
    timer->OnTick([this] {
      EXPECT_FALSE(inside_call) << "tick from inside a call";
      ++ticks;
      if (on_tick) on_tick();
    });
  }

  EventLoop loop;
  std::unique_ptr<Timer> timer;
  bool inside_call = false;
  int ticks = 0;
  std::function<void()> on_tick;
};

TEST_F(TimerTest, NewTimerIsStoppedWithOneSecondInterval) {
  EXPECT_EQ(timer->Interval(), 1000);
  EXPECT_FALSE(timer->Enabled());
  timer->SetInterval(1);
  loop.RunFor(20ms);
  EXPECT_EQ(ticks, 0) << "a timer that was never started ticks";
}

TEST_F(TimerTest, IntervalBelowOneMillisecondIsRefused) {
  for (Long ms : {0, -1, -1000}) {
    try {
      timer->SetInterval(ms);
      FAIL() << ms << " ms accepted";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), err::kTimerBadInterval);
    }
  }
  EXPECT_EQ(timer->Interval(), 1000);
}

TEST_F(TimerTest, TicksOncePerIntervalWhileEnabled) {
  timer->SetInterval(10);
  const auto start = Clock::now();
  inside_call = true;
  timer->SetEnabled(true);
  inside_call = false;
  EXPECT_TRUE(timer->Enabled());
  ASSERT_TRUE(loop.RunUntil([&] { return ticks >= 5; }, kPatience));
  EXPECT_GE(Clock::now() - start, 50ms) << "five ticks of 10 ms came early";
}

TEST_F(TimerTest, EnablingNeverTicksFromInsideTheCallEvenWhenDueAtOnce) {
  timer->SetInterval(1);
  timer->SetEnabled(true);
  std::this_thread::sleep_for(5ms);
  inside_call = true;
  timer->SetEnabled(true);
  timer->SetInterval(1);
  timer->SetEnabled(false);
  timer->SetEnabled(true);
  inside_call = false;
  ASSERT_TRUE(loop.RunUntil([&] { return ticks >= 1; }, kPatience));
}

TEST_F(TimerTest, StoppedTimerNeverTicksEvenWhenATickWasDue) {
  timer->SetInterval(5);
  timer->SetEnabled(true);
  std::this_thread::sleep_for(20ms);  // due, not yet run
  timer->SetEnabled(false);
  loop.RunFor(30ms);
  EXPECT_EQ(ticks, 0);
  EXPECT_FALSE(timer->Enabled());
}

// Two timers fall due together, so both ticks are ready before either runs; whichever runs
// first stops (or destroys) the other, whose ready tick must then do nothing.
TEST_F(TimerTest, TickAlreadyReadyIsDroppedWhenStoppedByAnotherHandler) {
  auto other = MakeAsioTimer(loop);
  int other_ticks = 0;
  other->OnTick([&] {
    ++other_ticks;
    other->SetEnabled(false);
    timer->SetEnabled(false);
  });
  on_tick = [&] {
    timer->SetEnabled(false);
    other->SetEnabled(false);
  };
  timer->SetInterval(5);
  other->SetInterval(5);
  timer->SetEnabled(true);
  other->SetEnabled(true);
  std::this_thread::sleep_for(20ms);
  loop.RunFor(30ms);
  EXPECT_EQ(ticks + other_ticks, 1);
}

TEST_F(TimerTest, TickAlreadyReadyIsDroppedWhenDestroyedByAnotherHandler) {
  auto other = MakeAsioTimer(loop);
  int other_ticks = 0;
  other->OnTick([&] {
    ++other_ticks;
    other->SetEnabled(false);
    timer.reset();
  });
  on_tick = [&] {
    timer->SetEnabled(false);
    other.reset();
  };
  timer->SetInterval(5);
  other->SetInterval(5);
  timer->SetEnabled(true);
  other->SetEnabled(true);
  std::this_thread::sleep_for(20ms);
  loop.RunFor(30ms);
  EXPECT_EQ(ticks + other_ticks, 1);
}

TEST_F(TimerTest, HandlerMayStopAndRestartItsOwnTimer) {
  timer->SetInterval(5);
  on_tick = [&] {
    timer->SetEnabled(false);
    if (ticks < 3) timer->SetEnabled(true);
  };
  timer->SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return ticks >= 3; }, kPatience));
  loop.RunFor(30ms);
  EXPECT_EQ(ticks, 3);
  EXPECT_FALSE(timer->Enabled());
}

TEST_F(TimerTest, HandlerMayDestroyItsOwnTimer) {
  timer->SetInterval(5);
  on_tick = [&] { timer.reset(); };
  timer->SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return timer == nullptr; }, kPatience));
  loop.RunFor(20ms);
  EXPECT_EQ(ticks, 1);
}

TEST_F(TimerTest, EnablingAgainStartsTheIntervalAnew) {
  timer->SetInterval(300);
  timer->SetEnabled(true);
  loop.RunFor(200ms);
  timer->SetEnabled(true);  // restart: the next tick is 300 ms from here
  const auto restarted = Clock::now();
  loop.RunFor(150ms);
  EXPECT_EQ(ticks, 0);
  ASSERT_TRUE(loop.RunUntil([&] { return ticks >= 1; }, kPatience));
  EXPECT_GE(Clock::now() - restarted, 300ms);
}

TEST_F(TimerTest, NewIntervalWhileRunningStartsFromNow) {
  timer->SetInterval(5000);
  timer->SetEnabled(true);
  const auto changed = Clock::now();
  timer->SetInterval(20);
  EXPECT_TRUE(timer->Enabled());
  ASSERT_TRUE(loop.RunUntil([&] { return ticks >= 1; }, kPatience));
  EXPECT_GE(Clock::now() - changed, 20ms);
  EXPECT_LT(Clock::now() - changed, 4000ms);
}

TEST_F(TimerTest, LateLoopGetsOneTickNotABurst) {
  timer->SetInterval(100);
  timer->SetEnabled(true);
  std::this_thread::sleep_for(450ms);  // four intervals and more go by unserved
  loop.Poll();
  loop.Poll();
  EXPECT_EQ(ticks, 1);
}

TEST_F(TimerTest, DestroyingWhileEnabledIsQuiet) {
  timer->SetInterval(5);
  timer->SetEnabled(true);
  std::this_thread::sleep_for(10ms);
  timer.reset();
  loop.RunFor(20ms);
  EXPECT_EQ(ticks, 0);
}

}  // namespace
}  // namespace kestrel::platform
