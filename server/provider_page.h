// The console's Provider page: the values of SOFTWARE\Mailvane\Provider, checked and saved, and a
// test SMS sent through them. Every route needs a signed-in session, and a POST its CSRF token:
//   GET  /api/provider                  {"values": {<store name>: text, ...}, "accessUserName"}
//   POST /api/provider/save             the values; {"saved": false, "problems": [...]} with
//                                       nothing written, or every value written as a string and
//                                       {"saved": true, "message": the settings dialog's restart
//                                       box}
//   POST /api/provider/test             {"number", "text"}: {"test": id}; 409 while one runs
//   GET  /api/provider/test/wait?test=id  parked until test id has its result (long poll):
//                                       {"test", "done": true, "sent", "code", "text"} or, at the
//                                       poll's time-out, {"test", "done": false}
// The account is the configuration record's AccessUserName and AccessPassword, which the settings
// dialog edits; the password is never sent to the page. A test uses the settings as saved, not as
// typed. It runs on a worker thread with its own event loop and mail layer, so the console stays
// live meanwhile, and its result is posted back to the loop. A test without a result after
// kProviderTestDeadline is answered as failed and its worker told to stop: its loop is stopped
// and its HTTP request, retry wait or mail ended within about a second, so the next test can
// start soon after, and the page's end does not wait for a provider. Loop thread only.
#ifndef MAILVANE_SERVER_PROVIDER_PAGE_H_
#define MAILVANE_SERVER_PROVIDER_PAGE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/config.h"
#include "platform/base/send_abort.h"
#include "platform/console/console_server.h"
#include "platform/loop/event_loop.h"
#include "platform/sms/provider_settings.h"

namespace mailvane {

class Registry;

inline constexpr std::chrono::milliseconds kProviderTestDeadline{60'000};
inline constexpr size_t kMaxTestNumberBytes = 32;
inline constexpr size_t kMaxTestTextBytes = 640;
inline constexpr char kDefaultTestText[] = "Mailvane test SMS";
inline constexpr char kTestUnderWay[] = "A test is under way; wait for its result.";

// What one test sends, copied on the loop thread when it starts.
struct ProviderTest {
  ProviderSettings settings;  // as stored
  TestSmsRequest request;
  ConfigRecord config;               // MailTLS and MailTLSCAFile, for the mail protocol
  std::shared_ptr<SendAbort> abort;  // called when the test is to stop; never null
};

// Sends one test on the worker thread over loop, the worker's own. It returns when the provider
// has answered, or soon after loop.Stop() and test.abort's Abort().
using ProviderTestSender = std::function<SendOutcome(EventLoop& loop, const ProviderTest& test)>;

// The real sender: a mail layer of its own with the record's TLS settings, and SendTestSms.
SendOutcome SendProviderTest(EventLoop& loop, const ProviderTest& test);

struct ProviderPageEnvironment {
  ConsoleServer& server;
  EventLoop& loop;                  // where results are posted; must outlive the page
  Registry& registry;               // loop thread only, as everything of the server's
  const ConfigRecord& config;       // the server's record, as the settings dialog keeps it
  std::unique_ptr<Timer> deadline;  // of a test, made from loop
  ProviderTestSender send = SendProviderTest;
};

class ProviderPage {
 public:
  // Registers the routes. The server, loop, registry and record must outlive the page.
  explicit ProviderPage(ProviderPageEnvironment environment);
  ProviderPage(const ProviderPage&) = delete;
  ProviderPage& operator=(const ProviderPage&) = delete;
  // Tells a running test to stop and waits for its worker.
  ~ProviderPage();

 private:
  struct Outcome {
    uint64_t test = 0;  // 0: none yet
    bool sent = false;
    long code = 0;
    std::string text;
  };
  class WorkerStop;

  ConsoleResponse Values() const;
  ConsoleResponse Save(const ConsoleRequest& request);
  ConsoleResponse StartTest(const ConsoleRequest& request);
  ConsoleResponse TestState(const ConsoleRequest& request) const;
  bool TestAnswerable(const ConsoleRequest& request) const;
  void Finished(Outcome outcome);
  void DeadlinePassed();

  ConsoleServer& server_;
  EventLoop& loop_;
  Registry& registry_;
  const ConfigRecord& config_;
  std::unique_ptr<Timer> deadline_;
  ProviderTestSender send_;

  // The page as its worker's posted result finds it: null once the page is gone.
  std::shared_ptr<ProviderPage*> self_;
  std::thread worker_;
  std::shared_ptr<WorkerStop> stop_;  // of the running worker
  bool running_ = false;              // a worker runs (until its result has come back)
  uint64_t last_test_ = 0;            // the id of the latest test started
  Outcome outcome_;                   // of the latest test that has a result
};

}  // namespace mailvane

#endif  // MAILVANE_SERVER_PROVIDER_PAGE_H_
