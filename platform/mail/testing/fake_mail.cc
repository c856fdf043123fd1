#include "platform/mail/testing/fake_mail.h"

#include <utility>

#include "platform/mail/mail_result.h"

namespace mailvane {
namespace {

class FakeStoredMessage final : public StoredMessage {
 public:
  explicit FakeStoredMessage(FakeMailFactory& factory) : factory_(factory) {}
  ~FakeStoredMessage() override { factory_.Released(); }

  void SetTempDirectory(const std::string& folder) override {
    factory_.RecordTempDirectory(folder);
  }
  long LoadMessage(const std::string& path, int, int, int) override {
    content_ = {};
    long result = factory_.Load(path, content_);
    if (result != 0) content_ = {};
    return result;
  }
  std::string Subject() const override { return content_.subject; }
  std::string BodyText() const override { return content_.body; }
  std::string From() const override { return content_.from; }
  std::string FromAddr() const override { return content_.from_addr; }
  const std::vector<MailRecipient>& Recipients() const override { return content_.recipients; }

 private:
  FakeMailFactory& factory_;
  FakeMessageContent content_;
};

class FakeOutgoingMail final : public OutgoingMail {
 public:
  explicit FakeOutgoingMail(FakeMailFactory& factory) : factory_(factory) {}
  ~FakeOutgoingMail() override { factory_.Released(); }

  void Reset() override {
    mail_ = {};
    mail_.calls.push_back("Reset");
    outcome_ = SendOutcome::Sent();
  }
  void SetBodyFormat() override { mail_.calls.push_back("BodyFormat"); }
  void SetMailServer(const std::string& servers) override {
    mail_.calls.push_back("MailServer");
    mail_.servers = servers;
  }
  void SetSubject(const std::string& subject) override {
    mail_.calls.push_back("Subject");
    mail_.subject = subject;
  }
  void SetBodyText(const std::string& body) override {
    mail_.calls.push_back("BodyText");
    mail_.body = body;
  }
  void AddRecipient(const std::string& name, const std::string& address) override {
    mail_.calls.push_back("AddRecipient");
    mail_.recipients.push_back({address, name});
  }
  void SetFrom(const std::string& name) override {
    mail_.calls.push_back("From");
    mail_.from = name;
  }
  void SetFromAddr(const std::string& address) override {
    mail_.calls.push_back("FromAddr");
    mail_.from_addr = address;
  }
  long Send() override {
    mail_.calls.push_back("Send");
    ++mail_.send_count;
    FakeSendResult result = factory_.Send(mail_);
    mail_.result = result.code;
    outcome_ = SendOutcome::Failed(result.code, result.detail, MailFailureOf(result.code));
    return result.code;
  }
  const SendOutcome& Outcome() const override { return outcome_; }

 private:
  FakeMailFactory& factory_;
  SentMail mail_;
  SendOutcome outcome_;
};

}  // namespace

void FakeMailFactory::SetMessage(const std::string& path, FakeMessageContent content) {
  messages_[path] = Entry{0, std::move(content)};
}

void FakeMailFactory::SetLoadResult(const std::string& path, long code) {
  messages_[path] = Entry{code, {}};
}

void FakeMailFactory::FailLoads(const std::string& path, long code, int times) {
  Entry& entry = messages_[path];
  entry.failure = code;
  entry.failures_left = times;
}

void FakeMailFactory::RemoveMessage(const std::string& path) { messages_.erase(path); }

void FakeMailFactory::QueueSendResult(long code, std::string detail) {
  queued_.push_back({code, std::move(detail)});
}

void FakeMailFactory::SetSendFunction(std::function<FakeSendResult(const SentMail&)> decide) {
  decide_ = std::move(decide);
}

void FakeMailFactory::SetDefaultSendResult(FakeSendResult result) {
  default_result_ = std::move(result);
}

std::unique_ptr<StoredMessage> FakeMailFactory::NewStoredMessage() {
  ++stored_created_;
  ++live_;
  return std::make_unique<FakeStoredMessage>(*this);
}

std::unique_ptr<OutgoingMail> FakeMailFactory::NewOutgoingMail() {
  ++outgoing_created_;
  ++live_;
  return std::make_unique<FakeOutgoingMail>(*this);
}

long FakeMailFactory::Load(const std::string& path, FakeMessageContent& content) {
  loaded_paths_.push_back(path);
  auto it = messages_.find(path);
  if (it == messages_.end()) return kMailFileOpenError;
  if (it->second.failures_left > 0) {
    --it->second.failures_left;
    return it->second.failure;
  }
  if (it->second.result == 0) content = it->second.content;
  return it->second.result;
}

FakeSendResult FakeMailFactory::Send(const SentMail& mail) {
  FakeSendResult result = default_result_;
  if (!queued_.empty()) {
    result = queued_.front();
    queued_.pop_front();
  } else if (decide_) {
    result = decide_(mail);
  }
  sent_.push_back(mail);
  sent_.back().result = result.code;
  return result;
}

}  // namespace mailvane
