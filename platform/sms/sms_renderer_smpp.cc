// The renderer over SMPP: each Send checks its numbers and encodes its text before anything is
// sent, then submits one SMS per recipient over the factory's session, and waits for the answers
// (Send) or lets the handler start further SMS meanwhile, up to the session's Window (StartSend).
#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "platform/sms/smpp_pdu.h"
#include "platform/sms/smpp_session.h"
#include "platform/sms/sms_renderer.h"
#include "platform/sms/sms_text.h"

namespace mailvane {
namespace {

constexpr std::size_t kMaxAlphanumericSender = 11;
constexpr char kDefaultSender[] = "Mailvane";

struct Sender {
  uint8_t ton = 0;
  uint8_t npi = 0;
  std::string address;
};

// A number goes as one (international with "+" or "00"); any other text as an alphanumeric
// sender (TON 5, NPI 0) of its printable ASCII characters, at most 11.
Sender SenderOf(const std::string& text) {
  if (std::optional<SmsNumber> number = ParseSmsNumber(text)) {
    return {number->ton, number->npi, number->digits};
  }
  std::string out;
  for (char c : text) {
    if (c >= 0x20 && c < 0x7F && out.size() < kMaxAlphanumericSender) out.push_back(c);
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return {5, 0, out.empty() ? std::string(kDefaultSender) : out};
}

class SmppShared {
 public:
  SmppShared(EventLoop& loop, const SmppSessionOptions& options, std::string source_address,
             std::function<void(const std::string&)> log)
      : loop_(loop), options_(options), source_(std::move(source_address)), log_(std::move(log)) {}

  // The session of this account, made (or remade for another account) on demand; null once
  // closed.
  SmppSession* Session(const std::string& account, const std::string& password) {
    if (closed_) return nullptr;
    if (session_ &&
        (session_->options().system_id != account || session_->options().password != password)) {
      session_->Close();
      session_.reset();
    }
    if (!session_) {
      SmppSessionOptions options = options_;
      options.system_id = account;
      options.password = password;
      session_ = std::make_unique<SmppSession>(loop_, options, log_);
    }
    return session_.get();
  }

  void Close() {
    closed_ = true;
    if (session_) session_->Close();
  }

  void WaitForAny() {
    if (session_) session_->WaitForAny();
  }

  uint8_t NextReference() { return ++reference_; }
  int window() const { return std::clamp(options_.window, 1, kMaxSmppWindow); }
  const std::string& source() const { return source_; }

 private:
  EventLoop& loop_;
  SmppSessionOptions options_;
  std::string source_;
  std::function<void(const std::string&)> log_;
  std::unique_ptr<SmppSession> session_;
  uint8_t reference_ = 0;
  bool closed_ = false;
};

class SmppSmsRenderer final : public SmsRendererBase {
 public:
  explicit SmppSmsRenderer(SmppShared& shared) : shared_(shared) {}

  long Send() override {
    SmppSession* session = nullptr;
    std::vector<SmppMessage> messages;
    if (long refused = Prepare(&session, &messages)) return refused;
    for (const SmppMessage& message : messages) {
      SmppResult result = session->Submit(message);
      if (!result.outcome.sent()) return Conclude(std::move(result.outcome));
      ids_.insert(ids_.end(), result.message_ids.begin(), result.message_ids.end());
    }
    return 0;
  }

  // The recipients' SMS go out together; done comes once all are answered, with the first
  // failure if any.
  void StartSend(std::function<void(long)> done) override {
    SmppSession* session = nullptr;
    std::vector<SmppMessage> messages;
    if (long refused = Prepare(&session, &messages)) return done(refused);
    auto remaining = std::make_shared<std::size_t>(messages.size());
    auto first = std::make_shared<SendOutcome>();
    for (const SmppMessage& message : messages) {
      session->StartSubmit(message, [this, remaining, first, done](SmppResult result) {
        ids_.insert(ids_.end(), result.message_ids.begin(), result.message_ids.end());
        if (!result.outcome.sent() && first->sent()) *first = std::move(result.outcome);
        if (--*remaining > 0) return;
        done(Conclude(std::move(*first)));
      });
    }
  }

  std::vector<std::string> MessageIds() const override {
    return Failure() == SendFailure::kNone ? ids_ : std::vector<std::string>{};
  }

 private:
  // Checks the numbers and encodes the text before anything is sent: one SMS per recipient.
  long Prepare(SmppSession** session, std::vector<SmppMessage>* messages) {
    ClearError();
    ids_.clear();
    if (account_.empty()) return Fail(kSmsIncomplete, "SMS request incomplete: no account");
    if (std::string problem = SmppAccountProblem(account_, password_); !problem.empty()) {
      return Fail(kSmsBadSettings, problem);
    }
    if (recipients_.empty()) return Fail(kSmsIncomplete, "SMS request incomplete: no recipient");
    std::vector<SmsNumber> destinations;
    for (const auto& [number, name] : recipients_) {
      std::optional<SmsNumber> parsed = ParseSmsNumber(number);
      if (!parsed) return Fail(kSmsInvalidNumber, "Invalid mobile number \"" + number + "\"");
      destinations.push_back(*parsed);
    }
    EncodedSms sms = EncodeSmsText(text_, shared_.NextReference());
    if (sms.parts.size() > kMaxSmsParts) {
      return Fail(kSmsTextTooLong, "SMS text too long: " + std::to_string(sms.parts.size()) +
                                       " parts, at most " + std::to_string(kMaxSmsParts));
    }
    *session = shared_.Session(account_, password_);
    if (*session == nullptr) {
      return Fail(kSmsProviderFailed, "SMPP session closed", SendFailure::kStopping);
    }
    const Sender sender = SenderOf(shared_.source().empty() ? reply_name_ : shared_.source());
    SmppMessage message;
    message.source_ton = sender.ton;
    message.source_npi = sender.npi;
    message.source_addr = sender.address;
    message.data_coding = sms.data_coding;
    message.esm_class = sms.concatenated ? smpp::kEsmClassUdhi : 0;
    message.parts = std::move(sms.parts);
    for (const SmsNumber& destination : destinations) {
      message.dest_ton = destination.ton;
      message.dest_npi = destination.npi;
      message.destination_addr = destination.digits;
      messages->push_back(message);
    }
    return 0;
  }

  SmppShared& shared_;
  std::vector<std::string> ids_;  // of the parts answered so far
};

class SmppSmsRendererFactory final : public SmsRendererFactory {
 public:
  SmppSmsRendererFactory(EventLoop& loop, const SmppSessionOptions& options,
                         std::string source_address, std::function<void(const std::string&)> log)
      : shared_(loop, options, std::move(source_address), std::move(log)) {}
  std::unique_ptr<SmsRenderer> NewRenderer() override {
    return std::make_unique<SmppSmsRenderer>(shared_);
  }
  int SendsInFlight() const override { return shared_.window(); }
  void WaitForSend() override { shared_.WaitForAny(); }
  void Close() override { shared_.Close(); }

 private:
  SmppShared shared_;
};

}  // namespace

std::string SmppAccountProblem(const std::string& system_id, const std::string& password) {
  if (system_id.empty()) return "AccessUserName: the system_id for the SMSC is missing";
  if (system_id.size() > 15) return "AccessUserName: at most 15 characters for SMPP";
  if (password.size() > 8) return "AccessPassword: at most 8 characters for SMPP";
  return {};
}

std::unique_ptr<SmsRendererFactory> NewSmppSmsRendererFactory(
    EventLoop& loop, const SmppSessionOptions& options, std::string source_address,
    std::function<void(const std::string&)> log) {
  return std::make_unique<SmppSmsRendererFactory>(loop, options, std::move(source_address),
                                                  std::move(log));
}

}  // namespace mailvane
