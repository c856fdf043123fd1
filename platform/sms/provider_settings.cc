#include "platform/sms/provider_settings.h"

#include <utility>

#include "common/reg_functions.h"
#include "platform/sms/sms_text.h"
#include "platform/sms/smpp_session.h"

namespace mailvane {
namespace {

constexpr uint16_t kDefaultPort = 2775;
constexpr int kDefaultWindow = 10;
constexpr long kMaxThroughput = 10000;
constexpr std::size_t kMaxSystemType = 12;
constexpr std::size_t kMaxAlphanumericSender = 11;

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

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// Problems of the Provider key itself, without the account.
std::vector<std::string> SettingsProblems(const ProviderSettings& s) {
  std::vector<std::string> problems;
  const std::string protocol = Lower(s.Protocol);
  if (protocol.empty() || protocol == "mail") return problems;
  if (protocol == "http") {
    problems.push_back("Protocol: \"http\" is not available yet; use mail or smpp");
    return problems;
  }
  if (protocol != "smpp") {
    problems.push_back("Protocol: " + Quoted(s.Protocol) + " is unknown; use mail or smpp");
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

class FailingRenderer final : public SmsRenderer {
 public:
  explicit FailingRenderer(std::string text) : text_(std::move(text)) {}
  void SetMailServer(const std::string&) override {}
  void SetMailAddress(const std::string&) override {}
  void SetReplyAddress(const std::string&) override {}
  void SetReplyName(const std::string&) override {}
  void SetMessage(const std::string&) override {}
  void SetAccount(const std::string&) override {}
  void SetPassword(const std::string&) override {}
  void AddRecipient(const std::string&, const std::string&) override {}
  long Send() override { return kSmsBadSettings; }
  std::string ErrorText() const override { return text_; }

 private:
  std::string text_;
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

ProviderSettings ReadProviderSettings(RegistryReader& registry) {
  ProviderSettings s;
  s.Protocol = ReadProviderValue(registry, "Protocol");
  s.Host = ReadProviderValue(registry, "Host");
  s.Port = ReadProviderValue(registry, "Port");
  s.TLS = ReadProviderValue(registry, "TLS");
  s.SystemType = ReadProviderValue(registry, "SystemType");
  s.SourceAddress = ReadProviderValue(registry, "SourceAddress");
  s.Window = ReadProviderValue(registry, "Window");
  s.Throughput = ReadProviderValue(registry, "Throughput");
  s.DeliveryReports = ReadProviderValue(registry, "DeliveryReports");
  return s;
}

std::vector<std::string> ValidateProviderSettings(const ProviderSettings& settings,
                                                  const std::string& account,
                                                  const std::string& password) {
  std::vector<std::string> problems = SettingsProblems(settings);
  if (Lower(settings.Protocol) == "smpp") {
    if (std::string problem = SmppAccountProblem(account, password); !problem.empty()) {
      problems.push_back(std::move(problem));
    }
  }
  return problems;
}

SmppSessionOptions SmppOptionsOf(const ProviderSettings& s) {
  SmppSessionOptions options;
  options.host = s.Host;
  options.port = static_cast<uint16_t>(WholeNumber(s.Port, 1, 65535, kDefaultPort).value_or(kDefaultPort));
  options.tls = s.TLS == "1";
  options.system_type = s.SystemType;
  options.window = static_cast<int>(
      WholeNumber(s.Window, 1, kMaxSmppWindow, kDefaultWindow).value_or(kDefaultWindow));
  options.throughput = static_cast<int>(WholeNumber(s.Throughput, 0, kMaxThroughput, 0).value_or(0));
  options.delivery_reports = s.DeliveryReports == "1";
  return options;
}

std::unique_ptr<SmsRendererFactory> NewProviderSmsRendererFactory(ProviderEnvironment environment,
                                                                  const ProviderSettings& settings) {
  std::vector<std::string> problems = SettingsProblems(settings);
  if (!problems.empty()) return std::make_unique<FailingFactory>("Provider settings: " + problems[0]);
  if (Lower(settings.Protocol) != "smpp") return NewMailSmsRendererFactory(environment.mail);
  return NewSmppSmsRendererFactory(environment.loop, SmppOptionsOf(settings),
                                   settings.SourceAddress, std::move(environment.log));
}

TestSmsResult SendTestSms(ProviderEnvironment environment, const ProviderSettings& settings,
                          const TestSmsRequest& request) {
  TestSmsResult result;
  std::vector<std::string> problems =
      ValidateProviderSettings(settings, request.account, request.password);
  if (!problems.empty()) {
    result.code = kSmsBadSettings;
    result.error_text = "Provider settings: " + problems[0];
    return result;
  }
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
    result.code = renderer->Send();
    if (result.code != 0) result.error_text = renderer->ErrorText();
  }
  factory->Close();
  return result;
}

}  // namespace mailvane
