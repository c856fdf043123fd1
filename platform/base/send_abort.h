// A stop for sends that block their thread (a libcurl transfer, a wait before a retry): the
// thread that wants them ended calls Abort; the sending thread asks aborted() between steps and
// waits with WaitFor, which returns early once Abort was called. Any thread. Header only.
#ifndef MAILVANE_PLATFORM_BASE_SEND_ABORT_H_
#define MAILVANE_PLATFORM_BASE_SEND_ABORT_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace mailvane {

class SendAbort {
 public:
  SendAbort() = default;
  SendAbort(const SendAbort&) = delete;
  SendAbort& operator=(const SendAbort&) = delete;

  // From now on every send that watches this one ends as soon as it looks.
  void Abort() {
    {
      std::lock_guard lock(mutex_);
      aborted_.store(true);
    }
    woken_.notify_all();
  }
  bool aborted() const { return aborted_.load(); }

  // Waits for wait; false when Abort came first (or before).
  template <typename Rep, typename Period>
  bool WaitFor(std::chrono::duration<Rep, Period> wait) {
    std::unique_lock lock(mutex_);
    return !woken_.wait_for(lock, wait, [this] { return aborted_.load(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable woken_;
  std::atomic<bool> aborted_{false};
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_BASE_SEND_ABORT_H_
