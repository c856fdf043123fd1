#include "platform/loop/signals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "platform/base/send_abort.h"
#include "platform/loop/event_loop.h"

namespace mailvane {
namespace {

// A stop signal that arrives while the loop thread is blocked reaches the urgent part at once
// (here: it ends the wait that blocks the loop), and the handler afterwards, on the loop.
TEST(SignalWatchTest, UrgentPartRunsWhileTheLoopIsBlockedAndTheHandlerAfterOnTheLoop) {
  auto loop = NewEventLoop();
  SendAbort abort;
  int handled = 0;
  bool wait_ended_early = false;
  auto watch = WatchSignalsUrgently(
      *loop, {SIGUSR1}, [&](int) { abort.Abort(); },
      [&](int signal) {
        handled = signal;
        loop->Stop();
      });
  loop->Post([&] {
    ::kill(::getpid(), SIGUSR1);
    // Blocks the loop thread as a transfer would; only the urgent part can end it early.
    wait_ended_early = !abort.WaitFor(std::chrono::seconds(60));
  });
  loop->Run();
  EXPECT_TRUE(wait_ended_early);
  EXPECT_EQ(handled, SIGUSR1);
}

}  // namespace
}  // namespace mailvane
