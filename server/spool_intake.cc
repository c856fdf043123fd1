#include "server/spool_intake.h"

#include <optional>

#include "common/recipients.h"
#include "common/spool.h"
#include "common/spool_queue.h"
#include "platform/loop/clock.h"

namespace mailvane {

SpoolIntake::SpoolIntake(FileSystem& files, const Clock& clock, SpoolWriter& writer,
                         std::function<void(const std::string&)> log)
    : files_(files), clock_(clock), writer_(writer), log_(std::move(log)) {}

void SpoolIntake::RemoveLeftovers(const std::string& folder) {
  if (std::optional<long long> highest = RemoveServerLeftovers(files_, folder + "/"))
    listed_counter_ = *highest;
}

void SpoolIntake::Spool(const std::string& folder, const SmtpMessage& message,
                        std::function<void(SmtpReply)> done) {
  std::string data = message.text + "\r\n";
  // Where To and Cc plainly name every envelope recipient, the handler serves the same recipients
  // without the envelope record, and the mail costs one durable file instead of two.
  std::optional<std::string> envelope;
  if (!HeadersNameEveryRecipient(data, message.recipients))
    envelope = EnvelopeRecordText(message.recipients);
  Write(folder, SpoolMailFiles(std::move(envelope), std::move(data)), std::move(done), 1);
}

std::string SpoolIntake::NextName() {
  const LocalDateTime now = clock_.LocalNow();
  std::string name;
  do {
    ++counter_;
    name = SpoolFileName(now, counter_);
  } while (writing_.count(name) > 0);
  return name;
}

void SpoolIntake::Write(const std::string& folder, std::vector<SpoolFile> files,
                        std::function<void(SmtpReply)> done, int attempt) {
  const std::string name = NextName();
  writing_.insert(name);
  // This run's own names differ by their counters; up to the highest counter the folder held at
  // start-up a name may meet records an earlier run left.
  std::vector<std::string> absent = NameSpoolMail(name, counter_ <= listed_counter_, &files);
  writer_.Write(
      folder, std::move(files), std::move(absent),
      [this, folder, name, attempt, done = std::move(done)](std::error_code error,
                                                            std::vector<SpoolFile> taken) mutable {
        writing_.erase(name);
        // A name found taken: the next counter's, a bounded number of times.
        if (!taken.empty() && attempt < kSpoolNameAttempts)
          return Write(folder, std::move(taken), std::move(done), attempt + 1);
        if (error) {
          // The client keeps the mail and tries again later; nothing was acknowledged.
          log_("!!!Cannot write spool file " + folder + "/" + name + ": " + error.message());
          done({451, "4.3.0 Requested action aborted: local error in processing"});
          return;
        }
        done({250, "2.0.0 Ok: queued as " + name});
      });
}

}  // namespace mailvane
