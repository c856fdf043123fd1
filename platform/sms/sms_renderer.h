// The SMS provider's renderer: one SMS per object, sent the provider's way: as one request mail
// to the provider's gateway through the mail layer (docs/provider-request.md), or over an SMPP
// session that the factory holds (docs/provider-smpp.md). Not thread-safe.
#ifndef MAILVANE_PLATFORM_SMS_SMS_RENDERER_H_
#define MAILVANE_PLATFORM_SMS_SMS_RENDERER_H_

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/send_outcome.h"

namespace mailvane {

class EventLoop;
class MailFactory;
struct SmppSessionOptions;

// The gateway address of the provider, built in.
inline constexpr char kSmsGatewayAddress[] = "sms-gateway@gateway.mailvane.example";

// Send results of the renderer's own; every other non-zero result is a mail layer code.
inline constexpr long kSmsInvalidNumber = 101;   // no provider could take the number
inline constexpr long kSmsIncomplete = 102;      // gateway address, account or recipient missing
inline constexpr long kSmsProviderFailed = 103;  // the provider refused or could not be reached
inline constexpr long kSmsTextTooLong = 104;     // more parts than one concatenated SMS holds
inline constexpr long kSmsBadSettings = 105;     // the Provider settings are not usable

// A delivery receipt of an SMS sent: the provider's message id, the state word as the provider
// gave it ("DELIVRD", "UNDELIV", "EXPIRED", "REJECTD", ...) and its error code, if any.
struct SmsReceipt {
  std::string provider_id;
  std::string state;
  std::string error;
};

class SmsRenderer {
 public:
  SmsRenderer() = default;
  SmsRenderer(const SmsRenderer&) = delete;
  SmsRenderer& operator=(const SmsRenderer&) = delete;
  virtual ~SmsRenderer() = default;

  virtual void SetMailServer(const std::string& servers) = 0;
  virtual void SetMailAddress(const std::string& gateway_address) = 0;
  virtual void SetReplyAddress(const std::string& address) = 0;
  virtual void SetReplyName(const std::string& name) = 0;
  virtual void SetMessage(const std::string& text) = 0;
  virtual void SetAccount(const std::string& account) = 0;
  virtual void SetPassword(const std::string& password) = 0;
  virtual void AddRecipient(const std::string& number, const std::string& name) = 0;
  // Names the message this SMS belongs to (the spool file's name), the same on every try: a
  // renderer whose provider takes a client reference derives one per recipient from it, so that
  // the provider can drop a repeated send. Empty: no message (a test SMS).
  virtual void SetReference(const std::string& message) = 0;
  // 0 when the provider took the SMS (the gateway's mail server took the request, or the SMSC
  // answered every part with ESME_ROK); otherwise a code. Either way Outcome holds the whole of
  // it until the next Send.
  virtual long Send() = 0;
  virtual const SendOutcome& Outcome() const = 0;
  // The text and the failure kind of the last Send's outcome (empty and kNone after a success).
  virtual std::string ErrorText() const { return Outcome().text; }
  SendFailure Failure() const { return Outcome().failure; }
  // The provider's message ids of the last Send that succeeded, one per part as the provider gave
  // them; empty when the provider gives none.
  virtual std::vector<std::string> MessageIds() const { return {}; }

  // Send without waiting for the provider, so that several SMS can be under way together: done
  // receives what Send would return (Outcome then holds the whole of it), on the loop thread,
  // either before StartSend returns or later from within the factory's WaitForSend. The renderer
  // must live until done has run. A renderer that cannot overlap its sends just sends.
  virtual void StartSend(std::function<void(long)> done) { done(Send()); }
};

// What every renderer keeps of the handler's calls, and its ErrorText; a renderer of a protocol
// adds only Send, using what it needs of these.
class SmsRendererBase : public SmsRenderer {
 public:
  void SetMailServer(const std::string& servers) override { servers_ = servers; }
  void SetMailAddress(const std::string& gateway_address) override { gateway_ = gateway_address; }
  void SetReplyAddress(const std::string& address) override { reply_address_ = address; }
  void SetReplyName(const std::string& name) override { reply_name_ = name; }
  void SetMessage(const std::string& text) override { text_ = text; }
  void SetAccount(const std::string& account) override { account_ = account; }
  void SetPassword(const std::string& password) override { password_ = password; }
  void AddRecipient(const std::string& number, const std::string& name) override {
    recipients_.emplace_back(number, name);
  }
  void SetReference(const std::string& message) override { reference_ = message; }
  const SendOutcome& Outcome() const override { return outcome_; }

 protected:
  // The outcome becomes a failure of code, text and failure; the result is code, for
  // `return Fail(...)`. Without a failure kind, the code decides it: a number or text no provider
  // can take is permanent, a renderer without its settings means the provider cannot be used,
  // the rest is temporary.
  long Fail(long code, std::string text) {
    return Fail(code, std::move(text), DefaultFailure(code));
  }
  long Fail(long code, std::string text, SendFailure failure) {
    return Conclude(SendOutcome::Failed(code, std::move(text), failure));
  }
  long Conclude(SendOutcome outcome) {
    outcome_ = std::move(outcome);
    return outcome_.code;
  }
  void ClearError() { outcome_ = SendOutcome::Sent(); }
  static SendFailure DefaultFailure(long code) {
    switch (code) {
      case 0:
        return SendFailure::kNone;
      case kSmsInvalidNumber:
      case kSmsTextTooLong:
        return SendFailure::kPermanent;
      case kSmsIncomplete:
      case kSmsBadSettings:
        return SendFailure::kProvider;
      default:
        return SendFailure::kTemporary;
    }
  }

  std::string servers_;
  std::string gateway_;
  std::string reply_address_;
  std::string reply_name_;
  std::string text_;
  std::string account_;
  std::string password_;
  std::vector<std::pair<std::string, std::string>> recipients_;  // number, name
  std::string reference_;                                        // the message's name

 private:
  SendOutcome outcome_;
};

class SmsRendererFactory {
 public:
  SmsRendererFactory() = default;
  SmsRendererFactory(const SmsRendererFactory&) = delete;
  SmsRendererFactory& operator=(const SmsRendererFactory&) = delete;
  virtual ~SmsRendererFactory() = default;
  virtual std::unique_ptr<SmsRenderer> NewRenderer() = 0;
  // How many of its renderers' sends may be under way at once (started, done not yet run).
  virtual int SendsInFlight() const { return 1; }
  // Runs the loop until a started send is done, or returns at once when none is under way.
  virtual void WaitForSend() {}
  // Ends what the renderers share (an SMPP session is unbound); renderers made or sent after it
  // fail. The program calls it once its loop has ended.
  virtual void Close() {}
};

// Renderers that send through the given mail layer, which must outlive the factory.
std::unique_ptr<SmsRendererFactory> NewMailSmsRendererFactory(MailFactory& mail);

// Renderers that submit over one SMPP session of the factory, opened at the first Send with
// that renderer's Account and Password as system_id and password (a later renderer with another
// account gets a new session). The sender is source_address, or when it is empty the renderer's
// ReplyName: digits as a number, other text as an alphanumeric sender of at most 11 characters.
// log receives the delivery receipt lines. The loop must outlive the factory.
std::unique_ptr<SmsRendererFactory> NewSmppSmsRendererFactory(
    EventLoop& loop, const SmppSessionOptions& options, std::string source_address,
    std::function<void(const std::string&)> log);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SMS_SMS_RENDERER_H_
