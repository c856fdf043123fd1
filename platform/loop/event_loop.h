// The event loop of one program and its window-style timers. Everything a program does runs as a
// handler on its one loop thread: timer ticks, sockets, signals, automation calls. Nothing here
// may be called from another thread except EventLoop::Post and EventLoop::Stop.
#ifndef MAILVANE_PLATFORM_LOOP_EVENT_LOOP_H_
#define MAILVANE_PLATFORM_LOOP_EVENT_LOOP_H_

#include <cstdint>
#include <functional>
#include <memory>

namespace mailvane {

// A timer with window-timer semantics: while Enabled and Interval > 0 it ticks every Interval
// milliseconds on the loop. Enabling a disabled timer, or setting its interval, starts a fresh
// interval; disabling it cancels the pending tick. A tick handler may disable and re-enable its
// own timer. Destroying the timer cancels it.
class Timer {
 public:
  Timer() = default;
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  virtual ~Timer() = default;

  virtual void SetInterval(uint16_t milliseconds) = 0;
  virtual uint16_t Interval() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
  // The handler of every tick; a tick handler must not throw.
  virtual void OnTick(std::function<void()> handler) = 0;
};

class EventLoop {
 public:
  EventLoop() = default;
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;
  virtual ~EventLoop() = default;

  // Runs handlers until Stop is called or nothing is left to wait for.
  virtual void Run() = 0;
  // Makes Run return after the handler now running. Any thread.
  virtual void Stop() = 0;
  // Runs the function on the loop thread, after the handlers already queued. Any thread.
  virtual void Post(std::function<void()> function) = 0;
  // Runs handlers that are ready, without waiting; for tests that drive the loop step by step.
  virtual void Poll() = 0;

  virtual std::unique_ptr<Timer> NewTimer() = 0;
};

std::unique_ptr<EventLoop> NewEventLoop();

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_LOOP_EVENT_LOOP_H_
