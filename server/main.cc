// MailvaneSvc: the server program of the e-mail-to-SMS gateway. Its command line is exactly one
// of "-install", "-uninstall", "-debug" or nothing; everything else is set in the environment.
#include <cstdio>
#include <string>

#include "platform/automation/automation.h"
#include "platform/files/file_system.h"
#include "platform/files/spool_writer.h"
#include "platform/loop/clock.h"
#include "platform/loop/event_loop.h"
#include "platform/mail/mail.h"
#include "platform/registry/registry.h"
#include "platform/service/service_control.h"
#include "platform/smtp/smtp_server.h"
#include "server/mailvane_frm_svc.h"

namespace mailvane {
namespace {

int Run(const std::string& argument_text) {
  const std::string program_folder = ProgramFolder();
  std::unique_ptr<EventLoop> loop = NewEventLoop();
  std::unique_ptr<Clock> clock = NewSystemClock();
  std::unique_ptr<FileSystem> files = NewPosixFileSystem();
  std::unique_ptr<Registry> registry = NewFileRegistry(RegistryStorePath());
  std::unique_ptr<MailFactory> mail = NewMailFactory();
  std::unique_ptr<ServiceControl> service = NewServiceControl(
      *loop, *registry, ServiceOptionsFromEnvironment(program_folder + "/MailvaneSvc"));
  std::unique_ptr<ObjectFactory> objects = NewChildProcessObjectFactory(
      {{kHandlerProgId, program_folder + "/Vanequeue"}});
  std::unique_ptr<SpoolWriter> spool_writer = NewThreadPoolSpoolWriter(*loop);
  std::unique_ptr<Timer> timer1 = loop->NewTimer();

  bool ended = false;
  int exit_code = 0;
  const bool debug = argument_text == "-debug";
  MailvaneFrmSvc window({*registry, *files, *clock, *mail, *service, *objects, *spool_writer,
                         *timer1,
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
                         }});
  window.Form_Load(argument_text);
  if (!ended) loop->Run();
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
