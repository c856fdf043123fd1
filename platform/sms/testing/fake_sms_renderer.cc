#include "platform/sms/testing/fake_sms_renderer.h"

#include <algorithm>

namespace mailvane {
namespace {

class FakeSmsRenderer final : public SmsRenderer {
 public:
  FakeSmsRenderer(FakeSmsRendererFactory& factory, RenderedSms& record)
      : factory_(factory), record_(record) {}
  ~FakeSmsRenderer() override { factory_.Released(record_); }

  void SetMailServer(const std::string& servers) override {
    Call("MailServer");
    record_.servers = servers;
  }
  void SetMailAddress(const std::string& gateway_address) override {
    Call("MailAddress");
    record_.gateway_address = gateway_address;
  }
  void SetReplyAddress(const std::string& address) override {
    Call("ReplyAddress");
    record_.reply_address = address;
  }
  void SetReplyName(const std::string& name) override {
    Call("ReplyName");
    record_.reply_name = name;
  }
  void SetMessage(const std::string& text) override {
    Call("Message");
    record_.message = text;
  }
  void SetAccount(const std::string& account) override {
    Call("Account");
    record_.account = account;
  }
  void SetPassword(const std::string& password) override {
    Call("Password");
    record_.password = password;
  }
  void AddRecipient(const std::string& number, const std::string& name) override {
    Call("AddRecipient");
    record_.recipients.emplace_back(number, name);
  }
  void SetReference(const std::string& message) override {
    Call("Reference");
    record_.reference = message;
  }
  long Send() override {
    Call("Send");
    ++record_.send_count;
    FakeSmsResult result = factory_.Send(record_);
    outcome_ = SendOutcome::Failed(result.code, result.error_text, result.failure);
    record_.result = outcome_.code;
    record_.error_text = outcome_.text;
    record_.failure = outcome_.failure;
    record_.message_ids = result.code == 0 ? result.message_ids : std::vector<std::string>{};
    return outcome_.code;
  }
  void StartSend(std::function<void(long)> done) override {
    if (factory_.SendsInFlight() <= 1) return done(Send());
    factory_.Hold([this, done = std::move(done)] { done(Send()); });
  }
  const SendOutcome& Outcome() const override { return outcome_; }
  std::vector<std::string> MessageIds() const override { return record_.message_ids; }
  std::string ErrorText() const override {
    record_.calls.push_back("ErrorText");
    return outcome_.text;
  }

 private:
  void Call(const char* member) { record_.calls.push_back(member); }

  FakeSmsRendererFactory& factory_;
  RenderedSms& record_;
  SendOutcome outcome_;
};

}  // namespace

void FakeSmsRendererFactory::QueueSendResult(long code, std::string error_text,
                                             SendFailure failure) {
  queued_.push_back({code, std::move(error_text), failure});
}

void FakeSmsRendererFactory::SetSendFunction(
    std::function<FakeSmsResult(const RenderedSms&)> decide) {
  decide_ = std::move(decide);
}

void FakeSmsRendererFactory::SetDefaultSendResult(FakeSmsResult result) {
  default_result_ = std::move(result);
}

std::unique_ptr<SmsRenderer> FakeSmsRendererFactory::NewRenderer() {
  renderers_.emplace_back();
  ++live_;
  return std::make_unique<FakeSmsRenderer>(*this, renderers_.back());
}

void FakeSmsRendererFactory::WaitForSend() {
  if (held_.empty()) return;
  std::function<void()> answer = std::move(held_.back());
  held_.pop_back();
  answer();
}

void FakeSmsRendererFactory::Hold(std::function<void()> answer) {
  held_.push_back(std::move(answer));
  most_held_ = std::max(most_held_, static_cast<int>(held_.size()));
}

FakeSmsResult FakeSmsRendererFactory::Send(const RenderedSms& sms) {
  if (!queued_.empty()) {
    FakeSmsResult result = queued_.front();
    queued_.pop_front();
    return result;
  }
  if (decide_) return decide_(sms);
  return default_result_;
}

}  // namespace mailvane
