// The renderer's own settings, under HKEY_LOCAL_MACHINE\SOFTWARE\Mailvane\Provider: which way SMS
// go to the provider (Protocol "mail", the default, "smpp" or "http") and how to reach an SMSC or
// a REST API (docs/provider-smpp.md, docs/provider-http.md). Values
// are held as stored, empty when missing, and read once, when the handler builds its renderer
// factory. Validation names every problem in a sentence an administrator can act on, for the
// program's error texts and for an editor of these settings. Loop thread only.
#ifndef MAILVANE_PLATFORM_SMS_PROVIDER_SETTINGS_H_
#define MAILVANE_PLATFORM_SMS_PROVIDER_SETTINGS_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/sms/sms_renderer.h"

namespace mailvane {

class EventLoop;
class MailFactory;
class RegistryReader;
class SendAbort;
struct HttpClientOptions;
struct HttpProvider;
struct SmppSessionOptions;

inline constexpr char kProviderKey[] = "SOFTWARE\\Mailvane\\Provider";

struct ProviderSettings {
  std::string Protocol;  // "mail" (also when empty), "smpp" or "http"
  // SMPP
  std::string Host;             // the SMSC's host name or address
  std::string Port;             // default 2775
  std::string TLS;              // "1": SMPP over TLS, the SMSC's certificate verified
  std::string SystemType;       // system_type of the bind, often empty
  std::string SourceAddress;    // the sender shown on the phone; empty: the mail's sender name
  std::string Window;           // submits in flight, default 10
  std::string Throughput;       // submits per second, 0 or empty: no limit
  std::string DeliveryReports;  // "1": ask for delivery receipts and log them
  // HTTP: a preset's values, each replaced by the value below that is not empty
  std::string Url;             // the API's address, a template; https:// (or http://)
  std::string Preset;          // "form-basic", "json-key" or "template"
  std::string From;            // {from}: the sender; empty: the mail's sender name
  std::string Method;          // GET, POST (default) or PUT
  std::string ContentType;     // the body's type, which decides its placeholders' escaping
  std::string Headers;         // "Name: value" lines, separated by "|"; values are templates
  std::string Body;            // the body template
  std::string BasicAuth;       // "1": account and password as HTTP basic authentication
  std::string SuccessStatus;   // "200-299" (default) or one status
  std::string SuccessPointer;  // a JSON pointer into the answer that must be present ...
  std::string SuccessValue;    // ... and, when this is not empty, hold this text
  std::string ErrorPointer;    // a JSON pointer to the provider's error text
  std::string CAFile;          // PEM certificates trusted for HTTPS; empty: the system's store
  std::string ConnectTimeout;  // seconds, default 10
  std::string Timeout;         // seconds for a whole request, default 30

  bool operator==(const ProviderSettings&) const = default;
};

// Every value of the key, by its name in the store (which is also the field's name), in the
// order of the struct: for code that reads, shows or writes them all.
struct ProviderValue {
  const char* name;
  std::string ProviderSettings::*field;
};
inline constexpr ProviderValue kProviderValues[] = {
    {"Protocol", &ProviderSettings::Protocol},
    {"Host", &ProviderSettings::Host},
    {"Port", &ProviderSettings::Port},
    {"TLS", &ProviderSettings::TLS},
    {"SystemType", &ProviderSettings::SystemType},
    {"SourceAddress", &ProviderSettings::SourceAddress},
    {"Window", &ProviderSettings::Window},
    {"Throughput", &ProviderSettings::Throughput},
    {"DeliveryReports", &ProviderSettings::DeliveryReports},
    {"Url", &ProviderSettings::Url},
    {"Preset", &ProviderSettings::Preset},
    {"From", &ProviderSettings::From},
    {"Method", &ProviderSettings::Method},
    {"ContentType", &ProviderSettings::ContentType},
    {"Headers", &ProviderSettings::Headers},
    {"Body", &ProviderSettings::Body},
    {"BasicAuth", &ProviderSettings::BasicAuth},
    {"SuccessStatus", &ProviderSettings::SuccessStatus},
    {"SuccessPointer", &ProviderSettings::SuccessPointer},
    {"SuccessValue", &ProviderSettings::SuccessValue},
    {"ErrorPointer", &ProviderSettings::ErrorPointer},
    {"CAFile", &ProviderSettings::CAFile},
    {"ConnectTimeout", &ProviderSettings::ConnectTimeout},
    {"Timeout", &ProviderSettings::Timeout},
};

ProviderSettings ReadProviderSettings(RegistryReader& registry);

// Every problem of the settings, empty when they are usable. account and password are the
// AccessUserName and AccessPassword that SMPP binds with (system_id, password) and that HTTP
// sends as {account} and {password} or basic authentication.
std::vector<std::string> ValidateProviderSettings(const ProviderSettings& settings,
                                                  const std::string& account,
                                                  const std::string& password);

// The session options of valid SMPP settings (defaults filled in).
SmppSessionOptions SmppOptionsOf(const ProviderSettings& settings);

// The request style and client options of valid HTTP settings (the preset's values filled in).
HttpProvider HttpProviderOf(const ProviderSettings& settings);
HttpClientOptions HttpClientOptionsOf(const ProviderSettings& settings);

// What renderers of every protocol may need. log writes one line to the daily log (delivery
// receipts); it must stay callable until the factory is closed. abort, when set, ends an HTTP
// request or retry wait under way (Send then fails with Failure kStopping); the mail layer
// watches its own (MailOptions).
struct ProviderEnvironment {
  EventLoop& loop;
  MailFactory& mail;
  std::function<void(const std::string&)> log;
  std::shared_ptr<SendAbort> abort = nullptr;
  // Receives each delivery receipt as a value, beside its log line.
  std::function<void(const SmsReceipt&)> receipt = nullptr;
};

// The renderers that the settings name. Settings that cannot be used give renderers whose Send
// fails with kSmsBadSettings and the first problem, so each attempt is logged and retried until
// the settings are corrected and the service restarted. The environment must outlive the factory.
std::unique_ptr<SmsRendererFactory> NewProviderSmsRendererFactory(ProviderEnvironment environment,
                                                                  const ProviderSettings& settings);

// One SMS through the provider as the settings say, sent at once, for an editor's "send a test
// SMS" button: the outcome of its Send. Runs the loop until the
// provider has answered. Its {reference} is new for each test, so that a provider never drops a
// test as a repeat of the one before.
struct TestSmsRequest {
  std::string number;
  std::string text;
  std::string account;
  std::string password;
  std::string mail_server;    // for Protocol "mail"
  std::string reply_address;  // for Protocol "mail"
};
SendOutcome SendTestSms(ProviderEnvironment environment, const ProviderSettings& settings,
                        const TestSmsRequest& request);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SMS_PROVIDER_SETTINGS_H_
