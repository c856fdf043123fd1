#include "platform/loop/event_loop.h"

#include <gtest/gtest.h>

#include <chrono>

namespace mailvane {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(TimerTest, TicksRepeatWhileEnabledAndStopWhenDisabled) {
  auto loop = NewEventLoop();
  auto timer = loop->NewTimer();
  int ticks = 0;
  timer->SetInterval(5);
  timer->OnTick([&] {
    if (++ticks == 3) {
      timer->SetEnabled(false);
      loop->Stop();
    }
  });
  timer->SetEnabled(true);
  loop->Run();
  EXPECT_EQ(ticks, 3);
  EXPECT_FALSE(timer->Enabled());
}

TEST(TimerTest, DisabledOrZeroIntervalNeverTicks) {
  auto loop = NewEventLoop();
  auto idle = loop->NewTimer();
  auto zero = loop->NewTimer();
  auto stopper = loop->NewTimer();
  int ticks = 0;
  idle->SetInterval(1);
  idle->OnTick([&] { ++ticks; });
  zero->SetInterval(0);
  zero->OnTick([&] { ++ticks; });
  zero->SetEnabled(true);
  stopper->SetInterval(30);
  stopper->OnTick([&] { loop->Stop(); });
  stopper->SetEnabled(true);
  loop->Run();
  EXPECT_EQ(ticks, 0);
}

TEST(TimerTest, ReenablingInsideTickStartsAFreshInterval) {
  // The handler's timers switch themselves off for their pass and on again after it: the next
  // tick must come a whole interval after the pass, not at the old schedule.
  auto loop = NewEventLoop();
  auto timer = loop->NewTimer();
  std::vector<steady_clock::time_point> ticks;
  timer->SetInterval(20);
  timer->OnTick([&] {
    ticks.push_back(steady_clock::now());
    timer->SetEnabled(false);
    if (ticks.size() == 1) {
      auto until = steady_clock::now() + milliseconds(15);  // a pass that takes 15 ms
      while (steady_clock::now() < until) {
      }
    }
    if (ticks.size() == 2) {
      loop->Stop();
      return;
    }
    timer->SetEnabled(true);
  });
  timer->SetEnabled(true);
  loop->Run();
  ASSERT_EQ(ticks.size(), 2u);
  // 15 ms of pass plus a fresh 20 ms interval; the old schedule would give about 20 ms.
  EXPECT_GE(ticks[1] - ticks[0], milliseconds(34));
}

TEST(TimerTest, DisablingCancelsAPendingTickEvenWhenItIsDue) {
  auto loop = NewEventLoop();
  auto timer = loop->NewTimer();
  auto stopper = loop->NewTimer();
  int ticks = 0;
  timer->SetInterval(1);
  timer->OnTick([&] { ++ticks; });
  timer->SetEnabled(true);
  // Let the timer become due without running the loop, then disable it.
  auto until = steady_clock::now() + milliseconds(5);
  while (steady_clock::now() < until) {
  }
  timer->SetEnabled(false);
  stopper->SetInterval(20);
  stopper->OnTick([&] { loop->Stop(); });
  stopper->SetEnabled(true);
  loop->Run();
  EXPECT_EQ(ticks, 0);
}

TEST(EventLoopTest, PostRunsInOrderOnTheLoop) {
  auto loop = NewEventLoop();
  std::vector<int> order;
  loop->Post([&] { order.push_back(1); });
  loop->Post([&] { order.push_back(2); });
  loop->Post([&] { loop->Stop(); });
  loop->Run();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace mailvane
