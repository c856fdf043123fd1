// A timer that ticks only when a test calls Fire, and only while enabled, as a real one would.
#ifndef MAILVANE_PLATFORM_LOOP_TESTING_FAKE_TIMER_H_
#define MAILVANE_PLATFORM_LOOP_TESTING_FAKE_TIMER_H_

#include "platform/loop/event_loop.h"

namespace mailvane {

class FakeTimer final : public Timer {
 public:
  void SetInterval(uint16_t milliseconds) override { interval_ = milliseconds; }
  uint16_t Interval() const override { return interval_; }
  void SetEnabled(bool enabled) override {
    if (enabled && !enabled_) ++starts_;
    enabled_ = enabled;
  }
  bool Enabled() const override { return enabled_; }
  void OnTick(std::function<void()> handler) override { handler_ = std::move(handler); }

  // Delivers one tick when the timer would deliver one; returns whether it did.
  bool Fire() {
    if (!enabled_ || interval_ == 0 || !handler_) return false;
    handler_();
    return true;
  }
  // How often the timer went from disabled to enabled (each start is a fresh interval).
  int starts() const { return starts_; }

 private:
  uint16_t interval_ = 0;
  bool enabled_ = false;
  int starts_ = 0;
  std::function<void()> handler_;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_LOOP_TESTING_FAKE_TIMER_H_
