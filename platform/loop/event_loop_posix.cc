#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "platform/loop/asio_loop.h"

namespace mailvane {
namespace {

namespace asio = boost::asio;

class AsioTimer final : public Timer {
 public:
  explicit AsioTimer(asio::io_context& context) : timer_(context) {}
  ~AsioTimer() override { timer_.cancel(); }

  void SetInterval(uint16_t milliseconds) override {
    interval_ = milliseconds;
    if (enabled_) Arm();
  }
  uint16_t Interval() const override { return interval_; }

  void SetEnabled(bool enabled) override {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (enabled_) {
      Arm();
    } else {
      ++generation_;
      timer_.cancel();
    }
  }
  bool Enabled() const override { return enabled_; }
  void OnTick(std::function<void()> handler) override { handler_ = std::move(handler); }

 private:
  // Each arming has its own generation, so a cancelled wait that completes late never ticks.
  void Arm() {
    uint64_t generation = ++generation_;
    timer_.cancel();
    if (interval_ == 0) return;
    timer_.expires_after(std::chrono::milliseconds(interval_));
    timer_.async_wait([this, generation](const boost::system::error_code& error) {
      if (error || generation != generation_ || !enabled_) return;
      Arm();  // the next interval starts before the tick runs, as a window timer's does
      if (handler_) handler_();
    });
  }

  asio::steady_timer timer_;
  uint16_t interval_ = 0;
  bool enabled_ = false;
  uint64_t generation_ = 0;
  std::function<void()> handler_;
};

class AsioLoop final : public EventLoop {
 public:
  void Run() override {
    auto guard = asio::make_work_guard(context_);
    context_.restart();
    context_.run();
  }
  void Stop() override { context_.stop(); }
  void Post(std::function<void()> function) override { asio::post(context_, std::move(function)); }
  void Poll() override {
    context_.restart();
    context_.poll();
  }
  std::unique_ptr<Timer> NewTimer() override { return std::make_unique<AsioTimer>(context_); }

  asio::io_context& context() { return context_; }

 private:
  asio::io_context context_;
};

}  // namespace

std::unique_ptr<EventLoop> NewEventLoop() { return std::make_unique<AsioLoop>(); }

asio::io_context& AsioContext(EventLoop& loop) { return static_cast<AsioLoop&>(loop).context(); }

}  // namespace mailvane
