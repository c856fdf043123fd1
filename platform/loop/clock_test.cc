#include "platform/loop/clock.h"

#include <gtest/gtest.h>

#include "platform/loop/testing/fake_clock.h"

namespace mailvane {
namespace {

TEST(ClockTest, CalendarArithmeticAcrossMonthAndYearEnds) {
  EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(DaysFromCivil(2024, 3, 1) - DaysFromCivil(2024, 2, 28), 2);  // leap year
  EXPECT_EQ(DaysFromCivil(2027, 1, 1) - DaysFromCivil(2026, 12, 31), 1);
  LocalDateTime before{2026, 12, 31, 23, 59, 59};
  LocalDateTime after{2027, 1, 1, 0, 0, 0};
  EXPECT_EQ(MinuteNumber(after) - MinuteNumber(before), 1);
}

TEST(ClockTest, FakeClockRoundTripsAndAdvances) {
  FakeClock clock({2009, 12, 5, 9, 7, 3});
  EXPECT_EQ(clock.LocalNow(), (LocalDateTime{2009, 12, 5, 9, 7, 3}));
  clock.Advance(std::chrono::seconds(57));
  EXPECT_EQ(clock.LocalNow(), (LocalDateTime{2009, 12, 5, 9, 8, 0}));
  EXPECT_EQ(clock.ToLocal(FakeClock::At({2026, 2, 28, 23, 0, 0})),
            (LocalDateTime{2026, 2, 28, 23, 0, 0}));
}

TEST(ClockTest, SystemClockGivesAPlausibleLocalTime) {
  auto clock = NewSystemClock();
  LocalDateTime now = clock->LocalNow();
  EXPECT_GE(now.year, 2024);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_LE(now.hour, 23);
}

}  // namespace
}  // namespace mailvane
