#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <boost/asio/signal_set.hpp>
#include <thread>

#include "platform/loop/asio_loop.h"
#include "platform/loop/event_loop.h"
#include "platform/loop/signals.h"

namespace mailvane {
namespace {

class AsioSignalWatch final : public SignalWatch {
 public:
  AsioSignalWatch(EventLoop& loop, std::initializer_list<int> signals,
                  std::function<void(int)> handler)
      : set_(AsioContext(loop)), handler_(std::move(handler)) {
    for (int signal : signals) set_.add(signal);
    Wait();
  }
  ~AsioSignalWatch() override { set_.cancel(); }

 private:
  void Wait() {
    set_.async_wait([this](const boost::system::error_code& error, int signal) {
      if (error) return;
      Wait();
      handler_(signal);
    });
  }

  boost::asio::signal_set set_;
  std::function<void(int)> handler_;
};

// A thread waits for the blocked signals with sigtimedwait, so a signal is taken even while the
// loop thread is busy; the handler still runs on the loop, and never after the watch is gone.
class UrgentSignalWatch final : public SignalWatch {
 public:
  UrgentSignalWatch(EventLoop& loop, std::initializer_list<int> signals,
                    std::function<void(int)> on_arrival, std::function<void(int)> handler)
      : loop_(loop),
        on_arrival_(std::move(on_arrival)),
        handler_(std::make_shared<std::function<void(int)>>(std::move(handler))) {
    sigemptyset(&set_);
    for (int signal : signals) sigaddset(&set_, signal);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    thread_ = std::thread([this] { Watch(); });
  }
  ~UrgentSignalWatch() override {
    stopping_ = true;
    thread_.join();
    *handler_ = nullptr;  // a handler already posted finds nothing to run
  }

 private:
  void Watch() {
    constexpr timespec kLook{0, 100'000'000};  // how soon the watch notices its end
    while (!stopping_) {
      const int signal = sigtimedwait(&set_, nullptr, &kLook);
      if (signal <= 0) continue;
      on_arrival_(signal);
      loop_.Post([handler = handler_, signal] {
        if (*handler) (*handler)(signal);
      });
    }
  }

  EventLoop& loop_;
  sigset_t set_;
  std::function<void(int)> on_arrival_;
  std::shared_ptr<std::function<void(int)>> handler_;  // reset on the loop thread only
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<SignalWatch> WatchSignalsUrgently(EventLoop& loop,
                                                  std::initializer_list<int> signals,
                                                  std::function<void(int)> on_arrival,
                                                  std::function<void(int)> handler) {
  return std::make_unique<UrgentSignalWatch>(loop, signals, std::move(on_arrival),
                                             std::move(handler));
}

std::unique_ptr<SignalWatch> WatchSignals(EventLoop& loop, std::initializer_list<int> signals,
                                          std::function<void(int)> handler) {
  return std::make_unique<AsioSignalWatch>(loop, signals, std::move(handler));
}

}  // namespace mailvane
