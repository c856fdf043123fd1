// A clock that stands still until a test moves it. Local time is UTC, so tests are independent of
// the machine's time zone.
#ifndef MAILVANE_PLATFORM_LOOP_TESTING_FAKE_CLOCK_H_
#define MAILVANE_PLATFORM_LOOP_TESTING_FAKE_CLOCK_H_

#include <time.h>

#include <atomic>

#include "platform/loop/clock.h"

namespace mailvane {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(LocalDateTime start = {2026, 12, 7, 9, 7, 3}) { Set(start); }

  TimePoint Now() const override { return TimePoint(std::chrono::seconds(now_.load())); }

  LocalDateTime ToLocal(TimePoint instant) const override {
    time_t seconds = std::chrono::system_clock::to_time_t(instant);
    struct tm parts {};
    gmtime_r(&seconds, &parts);
    return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
            parts.tm_hour,        parts.tm_min,     parts.tm_sec};
  }

  void Set(const LocalDateTime& t) { now_ = ToEpoch(t); }
  void Advance(std::chrono::seconds by) { now_ += by.count(); }

  static long long ToEpoch(const LocalDateTime& t) { return MinuteNumber(t) * 60 + t.second; }
  static TimePoint At(const LocalDateTime& t) {
    return TimePoint(std::chrono::seconds(ToEpoch(t)));
  }

 private:
  std::atomic<long long> now_{0};
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_LOOP_TESTING_FAKE_CLOCK_H_
