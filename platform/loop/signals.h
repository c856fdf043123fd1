// Signals delivered as handlers on the loop thread instead of interrupting it.
#ifndef MAILVANE_PLATFORM_LOOP_SIGNALS_H_
#define MAILVANE_PLATFORM_LOOP_SIGNALS_H_

#include <functional>
#include <initializer_list>
#include <memory>

namespace mailvane {

class EventLoop;

class SignalWatch {
 public:
  virtual ~SignalWatch() = default;
};

// While the returned watch lives, each of the signals runs handler(signal) on the loop.
std::unique_ptr<SignalWatch> WatchSignals(EventLoop& loop, std::initializer_list<int> signals,
                                          std::function<void(int)> handler);

// As WatchSignals, and besides, on_arrival(signal) runs at once on a thread of the watch's own,
// also while the loop thread is blocked (in a transfer, say), so that it can abort what blocks
// the loop; it must be thread-safe and quick. The signals are blocked in the calling thread and
// so in every thread it starts later: call this before the program starts any other thread.
std::unique_ptr<SignalWatch> WatchSignalsUrgently(EventLoop& loop,
                                                  std::initializer_list<int> signals,
                                                  std::function<void(int)> on_arrival,
                                                  std::function<void(int)> handler);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_LOOP_SIGNALS_H_
