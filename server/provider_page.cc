#include "server/provider_page.h"

#include <boost/json.hpp>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

#include "common/mail_settings.h"
#include "common/reg_functions.h"
#include "platform/base/ascii.h"
#include "platform/console/console_json.h"
#include "platform/mail/mail.h"
#include "platform/sms/sms_renderer.h"
#include "server/console_json.h"
#include "server/settings_frm.h"

namespace mailvane {
namespace {

namespace json = boost::json;

constexpr char kNotWritten[] =
    "The values could not all be written to the store file, so it may hold some old and some new "
    "ones; check that the store can be written and save again.";
constexpr char kPreviousStillEnding[] =
    "The previous test has not ended yet; try again in a moment.";

// The values of a save; false when the body is not an object of texts. A missing value reads as
// empty (the value's default), and a text with a zero character is refused, as the store would
// cut it there.
bool ReadProviderValues(const std::string& body, ProviderSettings* settings) {
  const std::optional<json::object> parsed = JsonObjectOf(body);
  if (!parsed) return false;
  const json::object& object = *parsed;
  for (const ProviderValue& value : kProviderValues) {
    const json::value* text = object.if_contains(value.name);
    if (text == nullptr) continue;
    if (!text->is_string() || text->as_string().find('\0') != json::string::npos) return false;
    settings->*value.field = std::string(text->as_string());
  }
  return true;
}

// What the page shows of a test's result.
std::string OutcomeText(const ProviderSettings& settings, const std::string& number,
                        const SendOutcome& result) {
  if (!result.sent()) {
    return "Not sent: " +
           (result.text.empty() ? "error " + std::to_string(result.code) : result.text);
  }
  const std::string protocol = AsciiLowered(settings.Protocol);
  if (protocol == "smpp") return "Sent: the SMSC accepted the test SMS to " + number + ".";
  if (protocol == "http")
    return "Sent: the provider's API accepted the test SMS to " + number + ".";
  return "Sent: the mail server took the request mail for " + number +
         "; the provider's gateway sends the SMS.";
}

}  // namespace

// How the loop thread tells a worker to stop: its sends are aborted and its event loop is
// stopped, or, when the worker has not attached it yet, the worker sends nothing.
class ProviderPage::WorkerStop {
 public:
  const std::shared_ptr<SendAbort>& abort() const { return abort_; }
  bool Attach(EventLoop* loop) {
    std::lock_guard lock(mutex_);
    if (stopped_) return false;
    loop_ = loop;
    return true;
  }
  void Detach() {
    std::lock_guard lock(mutex_);
    loop_ = nullptr;
  }
  void Stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    abort_->Abort();
    if (loop_ != nullptr) loop_->Stop();
  }

 private:
  const std::shared_ptr<SendAbort> abort_ = std::make_shared<SendAbort>();
  std::mutex mutex_;
  EventLoop* loop_ = nullptr;
  bool stopped_ = false;
};

SendOutcome SendProviderTest(EventLoop& loop, const ProviderTest& test) {
  MailOptions options;
  options.abort = test.abort;
  std::unique_ptr<MailFactory> mail = NewMailFactory(options);
  ApplyMailTls(*mail, test.config);
  return SendTestSms({loop, *mail, nullptr, test.abort}, test.settings, test.request);
}

ProviderPage::ProviderPage(ProviderPageEnvironment environment)
    : server_(environment.server),
      loop_(environment.loop),
      registry_(environment.registry),
      config_(environment.config),
      deadline_(std::move(environment.deadline)),
      send_(std::move(environment.send)),
      self_(std::make_shared<ProviderPage*>(this)) {
  deadline_->SetEnabled(false);
  deadline_->SetInterval(static_cast<uint16_t>(kProviderTestDeadline.count()));
  deadline_->OnTick([this] { DeadlinePassed(); });
  server_.AddRoute("GET", "/api/provider", [this](const ConsoleRequest&) { return Values(); });
  server_.AddRoute("POST", "/api/provider/save",
                   [this](const ConsoleRequest& request) { return Save(request); });
  server_.AddRoute("POST", "/api/provider/test",
                   [this](const ConsoleRequest& request) { return StartTest(request); });
  server_.AddWaitingRoute(
      "GET", "/api/provider/test/wait",
      [this](const ConsoleRequest& request) { return TestAnswerable(request); },
      [this](const ConsoleRequest& request) { return TestState(request); });
}

ProviderPage::~ProviderPage() {
  *self_ = nullptr;
  deadline_->SetEnabled(false);
  if (stop_) stop_->Stop();
  if (worker_.joinable()) worker_.join();
}

ConsoleResponse ProviderPage::Values() const {
  const ProviderSettings settings = ReadProviderSettings(registry_);
  json::object values;
  for (const ProviderValue& value : kProviderValues) values[value.name] = settings.*value.field;
  return JsonAnswer(
      json::object{{"values", std::move(values)}, {"accessUserName", config_.AccessUserName}});
}

ConsoleResponse ProviderPage::Save(const ConsoleRequest& request) {
  ProviderSettings typed;
  if (!ReadProviderValues(request.body, &typed)) {
    return ErrorAnswer(400, "The provider settings are not readable.");
  }
  std::vector<std::string> problems =
      ValidateProviderSettings(typed, config_.AccessUserName, config_.AccessPassword);
  if (problems.empty()) {
    CreateRegKey(registry_, HKEY_LOCAL_MACHINE, kProviderKey);
    bool all_written = true;
    for (const ProviderValue& value : kProviderValues) {
      all_written = WriteSetting(registry_, HKEY_LOCAL_MACHINE, kProviderKey, value.name,
                                 RegValue(typed.*value.field), REG_SZ) == ERROR_SUCCESS &&
                    all_written;
    }
    if (!all_written) problems.emplace_back(kNotWritten);
  }
  if (!problems.empty()) {
    json::array listed;
    for (const std::string& problem : problems) listed.emplace_back(problem);
    return JsonAnswer(json::object{{"saved", false}, {"problems", std::move(listed)}});
  }
  return JsonAnswer(json::object{
      {"saved", true},
      {"message",
       json::object{{"text", kRestartRequired}, {"title", kRestartTitle}, {"icon", "critical"}}},
  });
}

ConsoleResponse ProviderPage::StartTest(const ConsoleRequest& request) {
  if (running_) {
    return ErrorAnswer(409, outcome_.test == last_test_ ? kPreviousStillEnding : kTestUnderWay);
  }
  const std::optional<json::object> parsed = JsonObjectOf(request.body);
  const json::object* body = parsed ? &*parsed : nullptr;
  const json::value* number_value = body ? body->if_contains("number") : nullptr;
  const json::value* text_value = body ? body->if_contains("text") : nullptr;
  if (number_value == nullptr || !number_value->is_string() ||
      (text_value != nullptr && !text_value->is_string())) {
    return ErrorAnswer(400, "The test request is not readable.");
  }
  const std::string number = std::string(TrimBlanks(number_value->as_string()));
  std::string text = text_value ? std::string(text_value->as_string()) : "";
  if (number.empty()) return ErrorAnswer(400, "Type the mobile number to send the test SMS to.");
  if (number.size() > kMaxTestNumberBytes) {
    return ErrorAnswer(400, "The number is too long: at most " +
                                std::to_string(kMaxTestNumberBytes) + " characters.");
  }
  if (text.size() > kMaxTestTextBytes) {
    return ErrorAnswer(
        400, "The test text is too long: at most " + std::to_string(kMaxTestTextBytes) + " bytes.");
  }
  if (text.empty()) text = kDefaultTestText;

  ProviderTest test;
  test.settings = ReadProviderSettings(registry_);
  test.request.number = number;
  test.request.text = text;
  test.request.account = config_.AccessUserName;
  test.request.password = config_.AccessPassword;
  test.request.mail_server = config_.MailServer;
  test.request.reply_address =
      config_.MailFromAddress.empty() ? config_.ErrorMailAddress : config_.MailFromAddress;
  test.config = config_;

  if (worker_.joinable()) worker_.join();  // the previous worker posted its result and ended
  const uint64_t id = ++last_test_;
  running_ = true;
  stop_ = std::make_shared<WorkerStop>();
  test.abort = stop_->abort();
  worker_ = std::thread([send = send_, test = std::move(test), stop = stop_, self = self_,
                         &loop = loop_, id] {
    Outcome outcome{id, false, kSmsProviderFailed, "Not sent: the test was stopped."};
    {
      std::unique_ptr<EventLoop> own = NewEventLoop();
      if (stop->Attach(own.get())) {
        SendOutcome result;
        try {
          result = send(*own, test);
        } catch (const std::exception& fault) {
          result = SendOutcome::Failed(kSmsProviderFailed,
                                       std::string("the test failed: ") + fault.what(),
                                       SendFailure::kTemporary);
        } catch (...) {
          result =
              SendOutcome::Failed(kSmsProviderFailed, "the test failed", SendFailure::kTemporary);
        }
        stop->Detach();
        outcome = {id, result.sent(), result.code,
                   OutcomeText(test.settings, test.request.number, result)};
      }
    }
    loop.Post([self, outcome = std::move(outcome)]() mutable {
      if (*self != nullptr) (*self)->Finished(std::move(outcome));
    });
  });
  deadline_->SetEnabled(true);
  return JsonAnswer(json::object{{"test", id}});
}

void ProviderPage::Finished(Outcome outcome) {
  if (worker_.joinable()) worker_.join();
  running_ = false;
  stop_.reset();
  deadline_->SetEnabled(false);
  // After the deadline the test already has its answer; what the worker brings later is dropped.
  if (outcome_.test != outcome.test) outcome_ = std::move(outcome);
  server_.SignalChange();
}

void ProviderPage::DeadlinePassed() {
  deadline_->SetEnabled(false);
  if (!running_ || outcome_.test == last_test_) return;
  outcome_ = {last_test_, false, kSmsProviderFailed,
              "Not sent: no answer from the provider in " +
                  std::to_string(kProviderTestDeadline.count() / 1000) +
                  " s; the test was stopped."};
  if (stop_) stop_->Stop();
  server_.SignalChange();
}

// Parked while the test asked for is the one still waiting for its result.
bool ProviderPage::TestAnswerable(const ConsoleRequest& request) const {
  std::optional<uint64_t> test = QueryNumber(request, "test");
  return !test || *test != last_test_ || !running_ || outcome_.test == *test;
}

ConsoleResponse ProviderPage::TestState(const ConsoleRequest& request) const {
  std::optional<uint64_t> test = QueryNumber(request, "test");
  if (!test || *test == 0) return ErrorAnswer(400, "No test number.");
  if (*test == outcome_.test) {
    return JsonAnswer(json::object{{"test", *test},
                                   {"done", true},
                                   {"sent", outcome_.sent},
                                   {"code", outcome_.code},
                                   {"text", outcome_.text}});
  }
  if (*test == last_test_ && running_) {
    return JsonAnswer(json::object{{"test", *test}, {"done", false}});
  }
  return ErrorAnswer(404, "No such test: only the latest test's result is kept.");
}

}  // namespace mailvane
