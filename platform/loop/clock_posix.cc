#include <time.h>

#include "platform/loop/clock.h"

namespace mailvane {
namespace {

class SystemClock final : public Clock {
 public:
  TimePoint Now() const override { return std::chrono::system_clock::now(); }

  LocalDateTime ToLocal(TimePoint instant) const override {
    time_t seconds = std::chrono::system_clock::to_time_t(instant);
    struct tm parts {};
    localtime_r(&seconds, &parts);
    return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
            parts.tm_hour,        parts.tm_min,     parts.tm_sec};
  }
};

}  // namespace

std::unique_ptr<Clock> NewSystemClock() { return std::make_unique<SystemClock>(); }

long DaysFromCivil(int year, int month, int day) {
  // Howard Hinnant's days_from_civil.
  year -= month <= 2;
  const long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

long long MinuteNumber(const LocalDateTime& t) {
  return (static_cast<long long>(DaysFromCivil(t.year, t.month, t.day)) * 24 + t.hour) * 60 +
         t.minute;
}

}  // namespace mailvane
