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

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_LOOP_SIGNALS_H_
