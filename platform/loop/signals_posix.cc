#include <boost/asio/signal_set.hpp>

#include "platform/loop/asio_loop.h"
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

}  // namespace

std::unique_ptr<SignalWatch> WatchSignals(EventLoop& loop, std::initializer_list<int> signals,
                                          std::function<void(int)> handler) {
  return std::make_unique<AsioSignalWatch>(loop, signals, std::move(handler));
}

}  // namespace mailvane
