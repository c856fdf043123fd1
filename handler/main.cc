// Vanequeue: the queue handler program. MailvaneSvc starts it by creating its automation object
// "Vanequeue.VanequeueCls"; it serves the spool folder until StopProcess, until the connection
// to the server closes, or until a fatal error in processing.
#include <signal.h>

#include <cstdio>

#include "common/error.h"
#include "common/spool.h"
#include "handler/provider_outage.h"
#include "handler/vanequeue_cls.h"
#include "platform/automation/automation.h"
#include "platform/base/send_abort.h"
#include "platform/files/file_lock.h"
#include "platform/files/file_system.h"
#include "platform/journal/journal.h"
#include "platform/loop/event_loop.h"
#include "platform/loop/signals.h"
#include "platform/mail/mail.h"
#include "platform/registry/registry.h"
#include "platform/sms/provider_settings.h"
#include "platform/sms/sms_renderer.h"

namespace mailvane {
namespace {

// The lock of the spool folder, whose path is known once the settings are loaded. It lives in the
// spool folder itself, so two handlers of one folder exclude each other whatever started them.
class SpoolFolderLock final : public FileLock {
 public:
  explicit SpoolFolderLock(std::function<std::string()> folder) : folder_(std::move(folder)) {}
  bool TryAcquire() override {
    if (!lock_) lock_ = NewPosixFileLock(SpoolFolderPrefix(folder_()) + kSpoolLockName);
    return lock_->TryAcquire();
  }

 private:
  std::function<std::string()> folder_;
  std::unique_ptr<FileLock> lock_;
};

CallResult Trapped(const std::function<void()>& call) {
  try {
    call();
    return {};
  } catch (const MailvaneError& error) {
    std::string source = error.source().empty() ? "Vanequeue" : error.source();
    return {error.number(), error.description(), source, {}};
  } catch (const std::exception& error) {
    return {kErrAutomation, error.what(), "Vanequeue", {}};
  }
}

int Run() {
  std::unique_ptr<EventLoop> loop = NewEventLoop();
  // A stop must not wait for a send under way: the sends run on the loop thread, and an HTTP
  // request or a mail may block it for up to its time-out. A stop signal aborts them at once
  // (they end as "stopping" and stay queued) and then stops the handler on the loop. Made first,
  // so that every later thread has these signals blocked.
  const auto abort = std::make_shared<SendAbort>();
  VanequeueCls* stoppable = nullptr;
  std::unique_ptr<SignalWatch> signals = WatchSignalsUrgently(
      *loop, {SIGTERM, SIGINT, SIGHUP}, [abort](int) { abort->Abort(); },
      [&stoppable](int) {
        if (stoppable != nullptr) stoppable->StopProcess();
      });
  std::unique_ptr<AutomationHost> host = NewAutomationHostFromEnvironment(*loop);
  if (!host) {
    std::fprintf(stderr, "Vanequeue is started by MailvaneSvc; it does not run on its own.\n");
    return 2;
  }
  std::unique_ptr<Clock> clock = NewSystemClock();
  std::unique_ptr<FileSystem> files = NewPosixFileSystem();
  std::unique_ptr<RegistryReader> registry = NewFileRegistryReader(RegistryStorePath());
  MailOptions mail_options;
  mail_options.abort = abort;
  std::unique_ptr<MailFactory> mail = NewMailFactory(mail_options);
  // The provider's way of sending, from SOFTWARE\Mailvane\Provider; its delivery receipts go to
  // the handler's log, which exists once the handler does.
  VanequeueCls* receipt_log = nullptr;
  const ProviderSettings provider = ReadProviderSettings(*registry);
  std::unique_ptr<SmsRendererFactory> sms =
      NewProviderSmsRendererFactory({*loop, *mail,
                                     [&receipt_log](const std::string& line) {
                                       if (receipt_log != nullptr)
                                         receipt_log->WriteHandlerLog(line);
                                     },
                                     abort,
                                     [&receipt_log](const SmsReceipt& receipt) {
                                       if (receipt_log != nullptr)
                                         receipt_log->TakeReceipt(receipt);
                                     }},
                                    provider);
  std::unique_ptr<Timer> timer1 = loop->NewTimer();
  std::unique_ptr<Timer> timer2 = loop->NewTimer();
  const VanequeueCls* cls = nullptr;
  SpoolFolderLock folder_lock([&cls] { return cls->config().LogDir; });

  auto end_program = [&] { loop->Stop(); };
  VanequeueCls handler(
      {*registry, *files, *clock, *mail, *sms, *timer1, *timer2, folder_lock, ProgramFolder(),
       end_program,
       [](const std::string& failure) {
         std::fprintf(stderr, "Vanequeue: cannot write the log: %s\n", failure.c_str());
       },
       [&](std::function<void()> run) { loop->Post(std::move(run)); },
       [&](const std::vector<Variant>& counts) { host->Raise("Counts", counts); },
       ProviderName(provider),
       [](const std::string& path) { return OpenJournal(path, JournalMode::kWrite); }});
  cls = &handler;
  receipt_log = &handler;
  stoppable = &handler;

  host->Register("AllocateId", [&](const std::vector<Variant>& args) {
    return Trapped([&] {
      if (args.size() != 1) throw MailvaneError(kErrInvalidCall);
      handler.AllocateId(args[0]);
    });
  });
  host->Register("StopProcess", [&](const std::vector<Variant>&) {
    // Answered first, then the program ends, so the server's call does not fail.
    loop->Post([&] { handler.StopProcess(); });
    return CallResult{};
  });
  // Posted by the server when it has spooled a file; never answered.
  host->Register("Wake",
                 [&](const std::vector<Variant>&) { return Trapped([&] { handler.Wake(); }); });
  // An administrator's actions, posted by the server: (spool name, recipient); an empty recipient
  // is the whole message. Never answered.
  auto action = [&](bool cancel) {
    return [&handler, cancel](const std::vector<Variant>& args) {
      return Trapped([&] {
        const std::string* name = args.size() == 2 ? std::get_if<std::string>(&args[0]) : nullptr;
        const std::string* recipient = name ? std::get_if<std::string>(&args[1]) : nullptr;
        if (recipient == nullptr) throw MailvaneError(kErrInvalidCall);
        cancel ? handler.Cancel(*name, *recipient) : handler.Retry(*name, *recipient);
      });
    };
  };
  host->Register(kRetryMember, action(false));
  host->Register(kCancelMember, action(true));
  host->OnDisconnect([&] { handler.StopProcess(); });
  host->Ready();
  if (!handler.ended()) loop->Run();
  sms->Close();  // unbinds a provider session while the handler's log is still there
  stoppable = nullptr;
  return 0;
}

}  // namespace
}  // namespace mailvane

int main() { return mailvane::Run(); }
