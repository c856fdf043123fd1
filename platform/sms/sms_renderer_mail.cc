// The renderer as a request mail to the provider's gateway. The request is plain text, one
// "Key: value" line per field, every value percent-encoded UTF-8, so that any text (line breaks,
// colons, non-ASCII) survives mail transport and reads back without ambiguity. The format is
// described in docs/provider-request.md; keep the two in step.
#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "platform/mail/mail.h"
#include "platform/mail/mail_result.h"
#include "platform/sms/sms_renderer.h"

namespace mailvane {
namespace {

constexpr char kRequestVersion[] = "Mailvane-SMS-Request: 1";
constexpr char kRequestSubject[] = "SMS request";
constexpr char kFallbackSender[] = "mailvane@localhost";
constexpr char kGatewayName[] = "SMS Gateway";

std::string PercentEncode(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

// A number is digits with an optional leading "+", and spaces or "-" anywhere; at least one digit.
bool IsValidNumber(const std::string& number) {
  bool digit = false;
  for (std::size_t i = 0; i < number.size(); ++i) {
    char c = number[i];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      digit = true;
    } else if (c == '+') {
      for (std::size_t j = 0; j < i; ++j) {
        if (number[j] != ' ') return false;  // only spaces may come before the "+"
      }
    } else if (c != ' ' && c != '-') {
      return false;
    }
  }
  return digit;
}

// The number without its spaces and "-": digits, with the "+" when it has one.
std::string DigitsOf(const std::string& number) {
  std::string out;
  for (char c : number) {
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '+') out.push_back(c);
  }
  return out;
}

// How a failed request mail may end: as the mail's own failure, except that the one recipient
// is the built-in gateway address, so a refused recipient fails every request alike too: the
// provider's way is down. A refused sender may depend on the message's own address: tried again.
SendFailure RequestFailureOf(const SendOutcome& mail) {
  return mail.code == kMailRecipientRefused ? SendFailure::kProvider : mail.failure;
}

class MailSmsRenderer final : public SmsRendererBase {
 public:
  explicit MailSmsRenderer(MailFactory& mail) : mail_(mail) {}

  long Send() override {
    ClearError();
    if (gateway_.empty()) return Fail(kSmsIncomplete, "SMS request incomplete: no gateway address");
    if (account_.empty()) return Fail(kSmsIncomplete, "SMS request incomplete: no account");
    if (recipients_.empty()) return Fail(kSmsIncomplete, "SMS request incomplete: no recipient");
    for (const auto& [number, name] : recipients_) {
      if (!IsValidNumber(number)) {
        return Fail(kSmsInvalidNumber, "Invalid mobile number \"" + number + "\"");
      }
    }
    std::unique_ptr<OutgoingMail> mail = mail_.NewOutgoingMail();
    mail->Reset();
    mail->SetBodyFormat();
    mail->SetMailServer(servers_);
    mail->SetSubject(kRequestSubject);
    mail->SetBodyText(RequestText());
    mail->AddRecipient(kGatewayName, gateway_);
    mail->SetFrom(reply_name_);
    mail->SetFromAddr(reply_address_.empty() ? kFallbackSender : reply_address_);
    const long code = mail->Send();
    if (code != kMailOk) {
      const char* text = MailResultText(code);
      return Fail(code,
                  "SMS gateway request failed: " +
                      (text != nullptr ? std::string(text) : "code " + std::to_string(code)) +
                      " (" + mail->Outcome().text + ")",
                  RequestFailureOf(mail->Outcome()));
    }
    return Conclude(SendOutcome::Sent());
  }

 private:
  std::string RequestText() const {
    std::string text = std::string(kRequestVersion) + "\r\n";
    auto field = [&text](const char* key, const std::string& value) {
      text += key;
      text += ": ";
      text += PercentEncode(value);
      text += "\r\n";
    };
    field("Account", account_);
    field("Password", password_);
    for (const auto& [number, name] : recipients_) {
      field("Number", number);
      field("Digits", DigitsOf(number));
      field("Name", name);
    }
    field("ReplyName", reply_name_);
    field("ReplyAddress", reply_address_);
    field("Text", text_);
    text += "End: 1\r\n";
    return text;
  }

  MailFactory& mail_;
};

class MailSmsRendererFactory final : public SmsRendererFactory {
 public:
  explicit MailSmsRendererFactory(MailFactory& mail) : mail_(mail) {}
  std::unique_ptr<SmsRenderer> NewRenderer() override {
    return std::make_unique<MailSmsRenderer>(mail_);
  }

 private:
  MailFactory& mail_;
};

}  // namespace

std::unique_ptr<SmsRendererFactory> NewMailSmsRendererFactory(MailFactory& mail) {
  return std::make_unique<MailSmsRendererFactory>(mail);
}

}  // namespace mailvane
