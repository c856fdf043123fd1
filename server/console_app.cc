#include "server/console_app.h"

#include <algorithm>
#include <boost/json.hpp>
#include <optional>

#include "common/convert.h"
#include "platform/console/console_json.h"
#include "server/console_json.h"

namespace mailvane {
namespace {

namespace json = boost::json;

// A password is read from the page but always sent to it empty.
bool IsPassword(const DialogControl& control) {
  return SettingOf(control).kind == SettingKind::kPassword;
}

json::object ValuesJson(const MailvaneSettingsFrm& settings) {
  const SettingsValues& v = settings.values();
  json::object object;
  for (const DialogControl& control : kDialogControls) {
    if (control.text == nullptr) {
      object[control.page_name] = v.*control.check;
    } else {
      object[control.page_name] = IsPassword(control) ? std::string() : v.*control.text;
    }
  }
  object["accessPasswordSet"] = settings.password_set();
  return object;
}

// Reads the control values of a save; false when the body is not an object of texts and
// check-box values.
bool ReadValues(const std::string& body, SettingsValues* values) {
  const std::optional<json::object> parsed = JsonObjectOf(body);
  if (!parsed) return false;
  const json::object& object = *parsed;
  for (const DialogControl& control : kDialogControls) {
    const json::value* value = object.if_contains(control.page_name);
    if (control.text != nullptr) {
      if (value == nullptr) continue;  // a missing control reads as empty
      if (!value->is_string()) return false;
      values->*control.text = std::string(value->as_string());
      continue;
    }
    int& check = values->*control.check;
    if (value == nullptr) {
      check = 0;
    } else if (value->is_bool()) {
      check = value->as_bool() ? 1 : 0;
    } else if (value->is_int64()) {
      check = value->as_int64() != 0 ? 1 : 0;
    } else {
      return false;
    }
  }
  return true;
}

const char* IconName(MessageBoxIcon icon) {
  return icon == MessageBoxIcon::kCritical ? "critical" : "information";
}

}  // namespace

ConsoleApp::ConsoleApp(ConsoleServer& server, WindowState& window, MailvaneSettingsFrm& settings)
    : server_(server), window_(window), settings_(settings) {
  server_.AddRoute("GET", "/api/window",
                   [this](const ConsoleRequest& request) { return Window(request); });
  server_.AddWaitingRoute(
      "GET", "/api/window/wait",
      [this](const ConsoleRequest& request) {
        std::optional<uint64_t> seen = QueryNumber(request, "version");
        return !seen || *seen != window_.version();
      },
      [this](const ConsoleRequest& request) { return Window(request); });
  server_.AddRoute("GET", "/api/settings",
                   [this](const ConsoleRequest&) { return SettingsState(); });
  server_.AddRoute("POST", "/api/settings/open",
                   [this](const ConsoleRequest&) { return OpenSettings(); });
  server_.AddRoute("POST", "/api/settings/save",
                   [this](const ConsoleRequest& request) { return SaveSettings(request); });
  server_.AddRoute("POST", "/api/settings/close",
                   [this](const ConsoleRequest&) { return CloseSettings(); });
  window_.OnChange([this] { server_.SignalChange(); });
}

ConsoleApp::~ConsoleApp() { window_.OnChange(nullptr); }

void ConsoleApp::ServeMonitoring(std::function<GatewayMetrics()> metrics) {
  // The process's liveness: a provider that is down is named but does not fail it.
  server_.AddOpenRoute("/healthz", [metrics](const ConsoleRequest&) {
    const GatewayMetrics now = metrics();
    return ConsoleResponse{HealthProblem(now).empty() ? 200 : 503, "text/plain; charset=utf-8",
                           HealthText(now) + "\n"};
  });
  server_.AddOpenRoute("/metrics", [metrics](const ConsoleRequest&) {
    return ConsoleResponse{200, "text/plain; version=0.0.4; charset=utf-8",
                           RenderMetrics(metrics())};
  });
}

// The lines after the page's own: all of them when the page holds lines of an earlier list
// (another epoch) or none, else those from index "from" on.
ConsoleResponse ConsoleApp::Window(const ConsoleRequest& request) const {
  const std::vector<std::string>& lines = window_.lines();
  std::optional<uint64_t> epoch = QueryNumber(request, "epoch");
  std::optional<uint64_t> from = QueryNumber(request, "from");
  bool reset = !epoch || *epoch != window_.list_epoch() || !from || *from > lines.size();
  size_t first = reset ? 0 : static_cast<size_t>(*from);
  size_t last = std::min(lines.size(), first + kConsoleLinesPerAnswer);
  json::array sent;
  for (size_t i = first; i < last; ++i) sent.emplace_back(lines[i]);
  return JsonAnswer(json::object{
      {"caption", window_.caption()},
      {"label1", window_.label1()},
      {"epoch", window_.list_epoch()},
      {"version", window_.version()},
      {"reset", reset},
      {"from", first},
      {"lines", std::move(sent)},
      {"total", lines.size()},
      {"settings_open", settings_.is_open()},
  });
}

ConsoleResponse ConsoleApp::SettingsState() const {
  json::object state{{"open", settings_.is_open()}, {"caption", kSettingsCaption}};
  if (settings_.is_open()) state["values"] = ValuesJson(settings_);
  return JsonAnswer(state);
}

ConsoleResponse ConsoleApp::OpenSettings() {
  settings_.Show();
  return JsonAnswer(json::object{
      {"open", true}, {"caption", kSettingsCaption}, {"values", ValuesJson(settings_)}});
}

ConsoleResponse ConsoleApp::SaveSettings(const ConsoleRequest& request) {
  if (!settings_.is_open()) return ErrorAnswer(409, "The settings dialog is not open.");
  SettingsValues typed;
  if (!ReadValues(request.body, &typed)) return ErrorAnswer(400, "The settings are not readable.");
  SaveResult result = settings_.SaveFromPage(std::move(typed));
  return JsonAnswer(json::object{
      {"saved", result.saved},
      {"open", settings_.is_open()},
      {"message", json::object{{"text", result.message.text},
                               {"title", result.message.title},
                               {"icon", IconName(result.message.icon)}}},
  });
}

ConsoleResponse ConsoleApp::CloseSettings() {
  settings_.Command1_Click();
  return JsonAnswer(json::object{{"open", false}});
}

std::unique_ptr<Console> StartConsole(EventLoop& loop, WindowState& window,
                                      MailvaneSettingsFrm& settings, const ConsoleSetup& setup,
                                      std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  std::optional<ConsoleAddress> address = ParseConsoleAddress(setup.address, error);
  if (!address || address->disabled) return nullptr;
  ConsoleOptions options;
  options.address = setup.address.empty() ? "127.0.0.1:8026" : setup.address;
  options.secret_path = setup.secret_path;
  options.static_folder = setup.static_folder;
  options.log = setup.log;
  auto console = std::make_unique<Console>();
  console->server = NewBeastConsoleServer(loop, std::move(options));
  console->app = std::make_unique<ConsoleApp>(*console->server, window, settings);
  if (setup.metrics) console->app->ServeMonitoring(setup.metrics);
  if (setup.registry != nullptr && setup.config != nullptr) {
    console->provider = std::make_unique<ProviderPage>(ProviderPageEnvironment{
        *console->server, loop, *setup.registry, *setup.config, loop.NewTimer()});
  }
  if (setup.actions != nullptr && setup.config != nullptr) {
    console->messages = std::make_unique<MessagesApi>(MessagesApiEnvironment{
        *console->server, setup.config->LogDir + kJournalFileName, *setup.actions, setup.activity});
  }
  if (console->server->Start(error)) return nullptr;
  return console;
}

}  // namespace mailvane
