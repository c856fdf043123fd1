// A renderer factory for tests: every renderer's properties and calls are recorded in the factory,
// in order, and Send returns scripted results with their ErrorText. The factory must outlive every
// renderer it made. Single-threaded.
#ifndef MAILVANE_PLATFORM_SMS_TESTING_FAKE_SMS_RENDERER_H_
#define MAILVANE_PLATFORM_SMS_TESTING_FAKE_SMS_RENDERER_H_

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/sms/sms_renderer.h"

namespace mailvane {

// One renderer as its caller drove it.
struct RenderedSms {
  std::vector<std::string> calls;  // member names in call order: "MailServer", ..., "Send"
  std::string servers;
  std::string gateway_address;
  std::string reply_address;
  std::string reply_name;
  std::string message;
  std::string account;
  std::string password;
  std::vector<std::pair<std::string, std::string>> recipients;  // (number, name)
  std::string reference;
  int send_count = 0;
  long result = -1;  // what the last Send returned; -1 before any
  std::string error_text;
  SendFailure failure = SendFailure::kNone;
  std::vector<std::string> message_ids;  // of the last Send
  bool released = false;
};

struct FakeSmsResult {
  long code = 0;
  std::string error_text;  // ErrorText after this result
  // Failure after this result; left at kNone, a failing code is temporary.
  SendFailure failure = SendFailure::kNone;
  std::vector<std::string> message_ids = {};  // the provider's ids after a success
};

class FakeSmsRendererFactory final : public SmsRendererFactory {
 public:
  FakeSmsRendererFactory() = default;

  // Results are taken from the queue first, one per Send; when it is empty the function decides,
  // when set, else the default result (0, no text).
  void QueueSendResult(long code, std::string error_text = "",
                       SendFailure failure = SendFailure::kNone);
  void SetSendFunction(std::function<FakeSmsResult(const RenderedSms&)> decide);
  void SetDefaultSendResult(FakeSmsResult result);

  // One entry per renderer made, in order of creation; kept after the renderer is released.
  const std::deque<RenderedSms>& renderers() const { return renderers_; }
  int live_renderers() const { return live_; }

  std::unique_ptr<SmsRenderer> NewRenderer() override;

  // With more than one, StartSend holds each send until WaitForSend, which answers the held sends
  // newest first (out of order, as a provider may), one per call.
  void SetSendsInFlight(int sends) { sends_in_flight_ = sends; }
  int SendsInFlight() const override { return sends_in_flight_; }
  void WaitForSend() override;
  void Hold(std::function<void()> answer);
  // The most sends ever held at once.
  int most_held() const { return most_held_; }

  // Used by the fake renderers.
  FakeSmsResult Send(const RenderedSms& sms);
  void Released(RenderedSms& sms) {
    sms.released = true;
    --live_;
  }

 private:
  std::deque<RenderedSms> renderers_;  // a deque keeps references stable as it grows
  std::deque<FakeSmsResult> queued_;
  std::function<FakeSmsResult(const RenderedSms&)> decide_;
  FakeSmsResult default_result_;
  int live_ = 0;
  int sends_in_flight_ = 1;
  std::vector<std::function<void()>> held_;
  int most_held_ = 0;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SMS_TESTING_FAKE_SMS_RENDERER_H_
