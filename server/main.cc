// MailvaneSvc: the server program of the e-mail-to-SMS gateway. Its command line is exactly one
// of "-install", "-uninstall", "-debug" or nothing; everything else is set in the environment.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/automation/automation.h"
#include "platform/console/console_secret.h"
#include "platform/files/file_system.h"
#include "platform/files/spool_writer.h"
#include "platform/loop/clock.h"
#include "platform/loop/event_loop.h"
#include "platform/mail/mail.h"
#include "platform/registry/registry.h"
#include "platform/service/service_control.h"
#include "platform/smtp/smtp_server.h"
#include "server/console_app.h"
#include "server/mailvane_frm_svc.h"

namespace mailvane {
namespace {

// The console's retry and cancel, as the handler's one-way posts.
class HandlerPosts final : public MessageActions {
 public:
  explicit HandlerPosts(MailvaneFrmSvc& window) : window_(window) {}
  bool Retry(const std::string& spool_name, const std::string& recipient) override {
    return window_.RetryMessage(spool_name, recipient);
  }
  bool Cancel(const std::string& spool_name, const std::string& recipient) override {
    return window_.CancelMessage(spool_name, recipient);
  }

 private:
  MailvaneFrmSvc& window_;
};

int Run(const std::string& argument_text) {
  const std::string program_folder = ProgramFolder();
  std::unique_ptr<EventLoop> loop = NewEventLoop();
  std::unique_ptr<Clock> clock = NewSystemClock();
  std::unique_ptr<FileSystem> files = NewPosixFileSystem();
  std::unique_ptr<Registry> registry = NewFileRegistry(RegistryStorePath());
  std::unique_ptr<MailFactory> mail = NewMailFactory();
  std::unique_ptr<ServiceControl> service = NewServiceControl(
      *loop, *registry, ServiceOptionsFromEnvironment(program_folder + "/MailvaneSvc"));
  std::unique_ptr<ObjectFactory> objects =
      NewChildProcessObjectFactory(*loop, {{kHandlerProgId, program_folder + "/Vanequeue"}});
  std::unique_ptr<SpoolWriter> spool_writer = NewThreadPoolSpoolWriter(*loop, *files);
  std::unique_ptr<Timer> timer1 = loop->NewTimer();
  std::unique_ptr<Timer> handler_timer = loop->NewTimer();
  std::unique_ptr<Timer> wake_timer = loop->NewTimer();

  bool ended = false;
  int exit_code = 0;
  const bool debug = argument_text == "-debug";
  MailvaneFrmSvc window({*registry, *files, *clock, *mail, *service, *objects, *spool_writer,
                         *timer1, *handler_timer, *wake_timer,
                         [&](SmtpEvents& events) { return NewSmtpServer(*loop, events); },
                         program_folder,
                         [&](int code) {
                           ended = true;
                           exit_code = code;
                           loop->Stop();
                         },
                         [debug](const std::string& line) {
                           if (!debug) return;
                           std::printf("%s\n", line.c_str());
                           std::fflush(stdout);
                         },
                         [&](std::function<void()> run) { loop->Post(std::move(run)); }});
  window.Form_Load(argument_text);
  if (ended) return exit_code;

  // The window, the settings dialog and the Provider page in a browser, on loopback. A console that
  // cannot start is reported; the gateway goes on without it.
  const char* console_address = std::getenv("MAILVANE_CONSOLE");
  HandlerPosts handler_posts(window);
  ConsoleSetup console_setup{console_address ? console_address : "",
                             ConsoleSecretPath(RegistryStorePath()),
                             program_folder + "/console",
                             [](const std::string& line) {
                               std::fprintf(stderr, "MailvaneSvc console: %s\n", line.c_str());
                             },
                             [&window] { return window.metrics(); },
                             registry.get(),
                             &window.config(),
                             &handler_posts,
                             [&window](const std::string& line) { window.AddToList(line); }};
  std::string console_error;
  std::unique_ptr<Console> console =
      StartConsole(*loop, window.window(), window.settings(), console_setup, &console_error);
  if (console) {
    if (debug) {
      std::printf("Console on %s/ (sign in with the secret in %s)\n",
                  console->server->Origin().c_str(), console_setup.secret_path.c_str());
      std::fflush(stdout);
    }
  } else if (!console_error.empty()) {
    std::fprintf(stderr, "MailvaneSvc: the console did not start: %s\n", console_error.c_str());
  }
  // Ready only now that the listener listens: a start-up that failed or went idle never says
  // so, and `systemctl start` reports it.
  if (window.listening()) service->NotifyReady();
  loop->Run();
  return exit_code;
}

}  // namespace
}  // namespace mailvane

int main(int argc, char** argv) {
  std::string argument_text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) argument_text += ' ';
    argument_text += argv[i];
  }
  return mailvane::Run(argument_text);
}
