// The SMS provider's renderer: one SMS per object, sent as one request mail to the provider's
// gateway through the mail layer (request format: docs/provider-request.md). Not thread-safe.
#ifndef MAILVANE_PLATFORM_SMS_SMS_RENDERER_H_
#define MAILVANE_PLATFORM_SMS_SMS_RENDERER_H_

#include <memory>
#include <string>

namespace mailvane {

class MailFactory;

// The gateway address of the provider, built in.
inline constexpr char kSmsGatewayAddress[] = "sms-gateway@gateway.mailvane.example";

// Send results of the renderer's own; every other non-zero result is a mail layer code.
inline constexpr long kSmsInvalidNumber = 101;  // no provider could take the number
inline constexpr long kSmsIncomplete = 102;     // gateway address, account or recipient missing

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
  // 0 when the gateway's mail server took the request; otherwise a code, with ErrorText.
  virtual long Send() = 0;
  virtual std::string ErrorText() const = 0;
};

class SmsRendererFactory {
 public:
  SmsRendererFactory() = default;
  SmsRendererFactory(const SmsRendererFactory&) = delete;
  SmsRendererFactory& operator=(const SmsRendererFactory&) = delete;
  virtual ~SmsRendererFactory() = default;
  virtual std::unique_ptr<SmsRenderer> NewRenderer() = 0;
};

// Renderers that send through the given mail layer, which must outlive the factory.
std::unique_ptr<SmsRendererFactory> NewMailSmsRendererFactory(MailFactory& mail);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SMS_SMS_RENDERER_H_
