#include "platform/sms/provider_settings.h"

#include <chrono>
#include <filesystem>
#include <utility>

#include "common/reg_functions.h"
#include "platform/base/ascii.h"
#include "platform/base/send_abort.h"
#include "platform/sms/http_client.h"
#include "platform/sms/http_provider.h"
#include "platform/sms/smpp_session.h"
#include "platform/sms/sms_renderer_http.h"
#include "platform/sms/sms_text.h"

namespace mailvane {
namespace {

constexpr uint16_t kDefaultPort = 2775;
constexpr int kDefaultWindow = 10;
constexpr long kMaxThroughput = 10000;
constexpr std::size_t kMaxSystemType = 12;
constexpr std::size_t kMaxAlphanumericSender = 11;
constexpr long kDefaultConnectTimeout = 10;
constexpr long kMaxConnectTimeout = 60;
constexpr long kDefaultTimeout = 30;
constexpr long kMaxTimeout = 300;
constexpr char kPlaceholderList[] =
    "{number}, {digits}, {text}, {account}, {password}, {name}, {from} or {reference}";

std::string ReadProviderValue(RegistryReader& registry, const std::string& name) {
  RegValue value = ReadSetting(registry, HKEY_LOCAL_MACHINE, kProviderKey, name);
  if (const int32_t* number = std::get_if<int32_t>(&value)) return std::to_string(*number);
  const std::string* text = std::get_if<std::string>(&value);
  if (text == nullptr) return {};
  std::string result = *text;
  if (!result.empty() && result.back() == '\0') result.pop_back();  // stored with its terminator
  return result;
}

// A whole number of plain digits within [low, high]; empty gives the default.
std::optional<long> WholeNumber(const std::string& text, long low, long high, long fallback) {
  if (text.empty()) return fallback;
  if (text.size() > 9) return std::nullopt;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

bool IsFlag(const std::string& text) { return text.empty() || text == "0" || text == "1"; }

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The Headers value as (name, value) pairs; a line that is not "Name: value" comes back in bad.
std::vector<std::pair<std::string, std::string>> ParseHeaders(const std::string& text,
                                                              std::vector<std::string>* bad) {
  std::vector<std::pair<std::string, std::string>> headers;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('|', start);
    if (end == std::string::npos) end = text.size();
    const std::string line =
        std::string(TrimBlanks(std::string_view(text).substr(start, end - start)));
    start = end + 1;
    if (line.empty()) continue;
    const std::size_t colon = line.find(':');
    const std::string name = colon == std::string::npos
                                 ? ""
                                 : std::string(TrimBlanks(std::string_view(line).substr(0, colon)));
    bool token = !name.empty();
    for (char c : name) {
      token = token && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_');
    }
    if (!token) {
      if (bad != nullptr) bad->push_back(line);
      continue;
    }
    headers.emplace_back(name, std::string(TrimBlanks(std::string_view(line).substr(colon + 1))));
  }
  return headers;
}

// The preset with the values laid over it; nothing when the preset is unknown.
std::optional<HttpProvider> MergedHttpProvider(const ProviderSettings& s) {
  std::optional<HttpProvider> p = HttpPreset(s.Preset);
  if (!p) return std::nullopt;
  p->url = s.Url;
  if (!s.From.empty()) p->from = s.From;
  if (!s.Method.empty()) p->method = AsciiUppered(s.Method);
  if (!s.ContentType.empty()) p->content_type = s.ContentType;
  if (!s.Headers.empty()) p->headers = ParseHeaders(s.Headers, nullptr);
  if (!s.Body.empty()) p->body = s.Body;
  if (!s.BasicAuth.empty()) p->basic_auth = s.BasicAuth == "1";
  if (auto range = ParseStatusRange(s.SuccessStatus)) {
    p->success.low = range->first;
    p->success.high = range->second;
  }
  if (!s.SuccessPointer.empty()) p->success.pointer = s.SuccessPointer;
  if (!s.SuccessValue.empty()) p->success.value = s.SuccessValue;
  if (!s.ErrorPointer.empty()) p->error_pointer = s.ErrorPointer;
  return p;
}

bool UsesAccount(const HttpProvider& p) {
  return p.basic_auth || p.url.find("{account}") != std::string::npos ||
         p.body.find("{account}") != std::string::npos;
}

void HttpProblems(const ProviderSettings& s, std::vector<std::string>& problems) {
  const std::string url = AsciiLowered(s.Url);
  if (s.Url.empty()) {
    problems.push_back("Url: the provider's API address is missing");
  } else if (url.rfind("https://", 0) != 0 && url.rfind("http://", 0) != 0) {
    problems.push_back("Url: " + Quoted(s.Url) + " must start with https:// (or http://)");
  }
  std::optional<HttpProvider> p = MergedHttpProvider(s);
  if (!p) {
    problems.push_back((s.Preset.empty() ? std::string("Preset: missing")
                                         : "Preset: " + Quoted(s.Preset) + " is unknown") +
                       "; use form-basic, json-key or template");
  }
  const std::string method = AsciiUppered(s.Method);
  if (!method.empty() && method != "GET" && method != "POST" && method != "PUT") {
    problems.push_back("Method: " + Quoted(s.Method) + " must be GET, POST or PUT");
  }
  std::vector<std::string> bad_headers;
  ParseHeaders(s.Headers, &bad_headers);
  for (const std::string& line : bad_headers) {
    problems.push_back("Headers: " + Quoted(line) + " is not a header line Name: value");
  }
  const std::pair<const char*, const std::string*> templates[] = {
      {"Url", &s.Url}, {"Headers", &s.Headers}, {"Body", &s.Body}};
  for (const auto& [name, text] : templates) {
    for (const std::string& word : UnknownHttpPlaceholders(*text)) {
      problems.push_back(std::string(name) + ": " + word + " is not a placeholder; use " +
                         kPlaceholderList);
    }
  }
  if (p && p->body.empty() && p->method != "GET") {
    problems.push_back("Body: the request body template is missing (or use Method GET)");
  }
  // A placeholder in a body whose syntax Mailvane does not know could add to the request (a
  // second recipient in an XML body, say); the body holds one when filling in changes it.
  const bool body_placeholders = p && ExpandHttpTemplate(p->body, {}, HttpEscape::kNone) != p->body;
  if (body_placeholders && p->method != "GET" && !BodyEscapeOf(p->content_type)) {
    problems.push_back(
        "ContentType: " +
        (p->content_type.empty() ? std::string("missing")
                                 : Quoted(p->content_type) + " cannot be escaped for") +
        "; with placeholders in the Body use a form, JSON or XML type, or text/plain");
  }
  if (!IsFlag(s.BasicAuth)) {
    problems.push_back("BasicAuth: " + Quoted(s.BasicAuth) + " must be 1 (on) or 0 (off)");
  }
  if (!s.SuccessStatus.empty() && !ParseStatusRange(s.SuccessStatus)) {
    problems.push_back("SuccessStatus: " + Quoted(s.SuccessStatus) +
                       " must be a status or a range of them, such as 200-299");
  }
  const std::pair<const char*, const std::string*> pointers[] = {
      {"SuccessPointer", &s.SuccessPointer}, {"ErrorPointer", &s.ErrorPointer}};
  for (const auto& [name, text] : pointers) {
    if (!text->empty() && (*text)[0] != '/') {
      problems.push_back(std::string(name) + ": " + Quoted(*text) +
                         " is not a JSON pointer; it starts with /, as /messages/0/status");
    }
  }
  if (p && !p->success.value.empty() && p->success.pointer.empty()) {
    problems.push_back("SuccessValue: needs a SuccessPointer to say where the value is");
  }
  std::error_code ec;
  if (!s.CAFile.empty() && !std::filesystem::is_regular_file(s.CAFile, ec)) {
    problems.push_back("CAFile: " + Quoted(s.CAFile) + " is not a file");
  }
  if (!WholeNumber(s.ConnectTimeout, 1, kMaxConnectTimeout, kDefaultConnectTimeout)) {
    problems.push_back("ConnectTimeout: " + Quoted(s.ConnectTimeout) +
                       " must be a whole number of seconds from 1 to 60");
  }
  if (!WholeNumber(s.Timeout, 1, kMaxTimeout, kDefaultTimeout)) {
    problems.push_back("Timeout: " + Quoted(s.Timeout) +
                       " must be a whole number of seconds from 1 to 300");
  }
}

// Problems of the Provider key itself, without the account.
std::vector<std::string> SettingsProblems(const ProviderSettings& s) {
  std::vector<std::string> problems;
  const std::string protocol = AsciiLowered(s.Protocol);
  if (protocol.empty() || protocol == "mail") return problems;
  if (protocol == "http") {
    HttpProblems(s, problems);
    return problems;
  }
  if (protocol != "smpp") {
    problems.push_back("Protocol: " + Quoted(s.Protocol) + " is unknown; use mail, smpp or http");
    return problems;
  }
  if (s.Host.empty()) problems.push_back("Host: the SMSC's host name or address is missing");
  if (!WholeNumber(s.Port, 1, 65535, kDefaultPort)) {
    problems.push_back("Port: " + Quoted(s.Port) + " is not a port number (1 to 65535)");
  }
  if (!IsFlag(s.TLS)) problems.push_back("TLS: " + Quoted(s.TLS) + " must be 1 (on) or 0 (off)");
  if (s.SystemType.size() > kMaxSystemType) {
    problems.push_back("SystemType: at most 12 characters");
  }
  if (!s.SourceAddress.empty() && !ParseSmsNumber(s.SourceAddress)) {
    bool printable = s.SourceAddress.size() <= kMaxAlphanumericSender;
    for (char c : s.SourceAddress) printable = printable && c >= 0x20 && c < 0x7F;
    if (!printable) {
      problems.push_back("SourceAddress: " + Quoted(s.SourceAddress) +
                         " is neither a number nor a sender name of at most 11 ASCII characters");
    }
  }
  if (!WholeNumber(s.Window, 1, kMaxSmppWindow, kDefaultWindow)) {
    problems.push_back("Window: " + Quoted(s.Window) + " must be a whole number from 1 to " +
                       std::to_string(kMaxSmppWindow));
  }
  if (!WholeNumber(s.Throughput, 0, kMaxThroughput, 0)) {
    problems.push_back("Throughput: " + Quoted(s.Throughput) +
                       " must be a whole number of submits per second from 0 (no limit) to " +
                       std::to_string(kMaxThroughput));
  }
  if (!IsFlag(s.DeliveryReports)) {
    problems.push_back("DeliveryReports: " + Quoted(s.DeliveryReports) +
                       " must be 1 (on) or 0 (off)");
  }
  return problems;
}

class FailingRenderer final : public SmsRendererBase {
 public:
  explicit FailingRenderer(std::string problem) : problem_(std::move(problem)) {}
  long Send() override { return Fail(kSmsBadSettings, problem_); }

 private:
  std::string problem_;
};

class FailingFactory final : public SmsRendererFactory {
 public:
  explicit FailingFactory(std::string text) : text_(std::move(text)) {}
  std::unique_ptr<SmsRenderer> NewRenderer() override {
    return std::make_unique<FailingRenderer>(text_);
  }

 private:
  std::string text_;
};

}  // namespace

// Every field is a text and has its entry in the table: a field added without one fails here.
static_assert(sizeof(ProviderSettings) == std::size(kProviderValues) * sizeof(std::string));

ProviderSettings ReadProviderSettings(RegistryReader& registry) {
  ProviderSettings s;
  for (const ProviderValue& value : kProviderValues) {
    s.*value.field = ReadProviderValue(registry, value.name);
  }
  return s;
}

std::vector<std::string> ValidateProviderSettings(const ProviderSettings& settings,
                                                  const std::string& account,
                                                  const std::string& password) {
  std::vector<std::string> problems = SettingsProblems(settings);
  if (AsciiLowered(settings.Protocol) == "smpp") {
    if (std::string problem = SmppAccountProblem(account, password); !problem.empty()) {
      problems.push_back(std::move(problem));
    }
  }
  if (AsciiLowered(settings.Protocol) == "http" && account.empty()) {
    std::optional<HttpProvider> p = MergedHttpProvider(settings);
    if (p && UsesAccount(*p)) problems.push_back("AccessUserName: the provider account is missing");
  }
  return problems;
}

SmppSessionOptions SmppOptionsOf(const ProviderSettings& s) {
  SmppSessionOptions options;
  options.host = s.Host;
  options.port =
      static_cast<uint16_t>(WholeNumber(s.Port, 1, 65535, kDefaultPort).value_or(kDefaultPort));
  options.tls = s.TLS == "1";
  options.system_type = s.SystemType;
  options.window = static_cast<int>(
      WholeNumber(s.Window, 1, kMaxSmppWindow, kDefaultWindow).value_or(kDefaultWindow));
  options.throughput =
      static_cast<int>(WholeNumber(s.Throughput, 0, kMaxThroughput, 0).value_or(0));
  options.delivery_reports = s.DeliveryReports == "1";
  return options;
}

HttpProvider HttpProviderOf(const ProviderSettings& settings) {
  return MergedHttpProvider(settings).value_or(HttpProvider{});
}

HttpClientOptions HttpClientOptionsOf(const ProviderSettings& s) {
  HttpClientOptions options;
  options.ca_file = s.CAFile;
  options.connect_timeout = std::chrono::seconds(
      WholeNumber(s.ConnectTimeout, 1, kMaxConnectTimeout, kDefaultConnectTimeout)
          .value_or(kDefaultConnectTimeout));
  options.total_timeout = std::chrono::seconds(
      WholeNumber(s.Timeout, 1, kMaxTimeout, kDefaultTimeout).value_or(kDefaultTimeout));
  return options;
}

std::unique_ptr<SmsRendererFactory> NewProviderSmsRendererFactory(
    ProviderEnvironment environment, const ProviderSettings& settings) {
  std::vector<std::string> problems = SettingsProblems(settings);
  if (!problems.empty())
    return std::make_unique<FailingFactory>("Provider settings: " + problems[0]);
  const std::string protocol = AsciiLowered(settings.Protocol);
  if (protocol == "http") {
    // The back-off waits block the loop, as the request itself does; both are bounded, and both
    // end early at the abort.
    std::shared_ptr<Clock> clock = NewSystemClock();
    std::shared_ptr<SendAbort> abort =
        environment.abort ? environment.abort : std::make_shared<SendAbort>();
    HttpClientOptions options = HttpClientOptionsOf(settings);
    options.abort = abort;
    return NewHttpSmsRendererFactory(
        {NewCurlHttpClient(options), [clock] { return clock->Now(); },
         [abort](std::chrono::seconds wait) { return abort->WaitFor(wait); },
         std::move(environment.log)},
        HttpProviderOf(settings));
  }
  if (protocol != "smpp") return NewMailSmsRendererFactory(environment.mail);
  SmppSessionOptions options = SmppOptionsOf(settings);
  if (environment.receipt) {
    options.receipt = [receipt = std::move(environment.receipt)](const std::string& id,
                                                                 const std::string& stat,
                                                                 const std::string& error) {
      receipt({id, stat, error});
    };
  }
  return NewSmppSmsRendererFactory(environment.loop, options, settings.SourceAddress,
                                   std::move(environment.log));
}

SendOutcome SendTestSms(ProviderEnvironment environment, const ProviderSettings& settings,
                        const TestSmsRequest& request) {
  std::vector<std::string> problems =
      ValidateProviderSettings(settings, request.account, request.password);
  if (!problems.empty()) {
    return SendOutcome::Failed(kSmsBadSettings, "Provider settings: " + problems[0],
                               SendFailure::kProvider);
  }
  SendOutcome outcome;
  std::unique_ptr<SmsRendererFactory> factory =
      NewProviderSmsRendererFactory(environment, settings);
  {
    std::unique_ptr<SmsRenderer> renderer = factory->NewRenderer();
    renderer->SetMailServer(request.mail_server);
    renderer->SetMailAddress(kSmsGatewayAddress);
    renderer->SetReplyAddress(request.reply_address);
    renderer->SetReplyName("Mailvane");
    renderer->SetMessage(request.text);
    renderer->SetAccount(request.account);
    renderer->SetPassword(request.password);
    renderer->AddRecipient(request.number, "");
    renderer->SetReference(
        "test " + std::to_string(std::chrono::system_clock::now().time_since_epoch().count()));
    renderer->Send();
    outcome = renderer->Outcome();
  }
  factory->Close();
  return outcome;
}

}  // namespace mailvane
