// The one source of the current time. Mailvane reads local date and time only through a Clock,
// so that tests can set both. Any thread may call a Clock.
#ifndef MAILVANE_PLATFORM_LOOP_CLOCK_H_
#define MAILVANE_PLATFORM_LOOP_CLOCK_H_

#include <chrono>
#include <memory>

namespace mailvane {

using TimePoint = std::chrono::system_clock::time_point;

// A local calendar date and time, to the second. month 1..12, day 1..31, hour 0..23.
struct LocalDateTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;

  auto operator<=>(const LocalDateTime&) const = default;
};

class Clock {
 public:
  Clock() = default;
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;
  virtual ~Clock() = default;

  virtual TimePoint Now() const = 0;
  // The local calendar date and time of an instant (a file's modification time, say).
  virtual LocalDateTime ToLocal(TimePoint instant) const = 0;

  LocalDateTime LocalNow() const { return ToLocal(Now()); }
};

// The system clock in the process's time zone.
std::unique_ptr<Clock> NewSystemClock();

// Day number of a calendar date (days since 1970-01-01), for calendar-day differences.
long DaysFromCivil(int year, int month, int day);

// Minute number of a local date-time (minutes since 1970-01-01 00:00 of the same calendar), for
// counting minute boundaries between two local times.
long long MinuteNumber(const LocalDateTime& t);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_LOOP_CLOCK_H_
