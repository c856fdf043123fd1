// The server's side of the web console: routes that show the main window's state (caption,
// Label1, List1) and drive the settings dialog, over a ConsoleServer. The page polls
// GET /api/window for lines after the ones it holds, or waits on GET /api/window/wait until the
// window changes; POST /api/settings/{open,save,close} are the Settings button and the dialog's
// buttons. The stored AccessPassword is never sent to the page, only whether one is set
// ("accessPasswordSet"); a save that leaves both password fields empty keeps it. Nothing typed is
// logged. For monitoring, GET /healthz and GET /metrics answer without sign-in: nothing secret,
// nothing changed. The Provider page has its own routes (server/provider_page.h). Loop thread only.
#ifndef MAILVANE_SERVER_CONSOLE_APP_H_
#define MAILVANE_SERVER_CONSOLE_APP_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/console/console_server.h"
#include "platform/loop/event_loop.h"
#include "server/gateway_metrics.h"
#include "server/messages_api.h"
#include "server/provider_page.h"
#include "server/settings_frm.h"
#include "server/window_state.h"

namespace mailvane {

// Lines sent in one answer; a page that is further behind asks again at once.
inline constexpr size_t kConsoleLinesPerAnswer = 2000;

class ConsoleApp {
 public:
  // Registers the routes and wakes waiting pages on every change of the window. Both objects
  // must outlive this one.
  ConsoleApp(ConsoleServer& server, WindowState& window, MailvaneSettingsFrm& settings);
  ConsoleApp(const ConsoleApp&) = delete;
  ConsoleApp& operator=(const ConsoleApp&) = delete;
  ~ConsoleApp();

  // GET /healthz: 200 "ok", or 503 and the problem; GET /metrics: the Prometheus text. Both read
  // metrics when asked.
  void ServeMonitoring(std::function<GatewayMetrics()> metrics);

 private:
  ConsoleResponse Window(const ConsoleRequest& request) const;
  ConsoleResponse OpenSettings();
  ConsoleResponse SettingsState() const;
  ConsoleResponse SaveSettings(const ConsoleRequest& request);
  ConsoleResponse CloseSettings();

  ConsoleServer& server_;
  WindowState& window_;
  MailvaneSettingsFrm& settings_;
};

// The console as main runs it: the Beast server and the routes, all alive together.
struct Console {
  std::unique_ptr<ConsoleServer> server;
  std::unique_ptr<ConsoleApp> app;
  std::unique_ptr<ProviderPage> provider;  // null without a registry and record
  std::unique_ptr<MessagesApi> messages;   // null without actions and a record
};

struct ConsoleSetup {
  std::string address;        // MAILVANE_CONSOLE's value; empty for the default, "off" for none
  std::string secret_path;    // e.g. the registry store's folder & "/console.secret"
  std::string static_folder;  // the folder holding index.html, console.css, console.js
  std::function<void(const std::string&)> log;
  std::function<GatewayMetrics()> metrics = nullptr;  // none: no /healthz and /metrics
  // The store and the record of the Provider page; without both, the console has no such page.
  Registry* registry = nullptr;
  const ConfigRecord* config = nullptr;
  // The messages API over the journal in the record's LogDir; without actions (or the record),
  // the console has no such API.
  MessageActions* actions = nullptr;
  std::function<void(const std::string&)> activity = nullptr;  // the activity list
};

// Builds and starts the console. nullptr when it is turned off, or when it cannot start (then
// *error says why; the caller decides whether the server goes on without it).
std::unique_ptr<Console> StartConsole(EventLoop& loop, WindowState& window,
                                      MailvaneSettingsFrm& settings, const ConsoleSetup& setup,
                                      std::string* error);

}  // namespace mailvane

#endif  // MAILVANE_SERVER_CONSOLE_APP_H_
