// The server's half of the spool: each accepted mail becomes its envelope record (unless its To
// and Cc headers surely name every recipient) and its spool file, both in one durable write under
// the next free spool name; only then is the client told 250. Owns the spool counter and the
// names being written. Loop thread only.
#ifndef MAILVANE_SERVER_SPOOL_INTAKE_H_
#define MAILVANE_SERVER_SPOOL_INTAKE_H_

#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "platform/files/spool_writer.h"
#include "platform/smtp/smtp_server.h"

namespace mailvane {

class Clock;
class FileSystem;

// Spool names tried for one mail before it is refused with a 451: a folder that holds this many
// in a row is not one to write into.
inline constexpr int kSpoolNameAttempts = 100;

class SpoolIntake {
 public:
  // log receives the activity line of a mail that could not be spooled.
  SpoolIntake(FileSystem& files, const Clock& clock, SpoolWriter& writer,
              std::function<void(const std::string&)> log);
  SpoolIntake(const SpoolIntake&) = delete;
  SpoolIntake& operator=(const SpoolIntake&) = delete;

  // The counter of this run's spool names; the configuration load sets it to 0.
  long long& counter() { return counter_; }

  // At start, before the listener: removes what an earlier run left unfinished in folder (the
  // spool folder, without its trailing "/"), and notes the highest counter its names carry.
  void RemoveLeftovers(const std::string& folder);

  // Spools one mail into folder. done gets 250 only when the record and the file are both in
  // place, else 451 ("!!!Cannot write spool file" in the activity list) and neither is left. A name
  // the folder holds already, as a file or as a record an earlier run left, is passed over for the
  // next counter's, up to kSpoolNameAttempts names.
  void Spool(const std::string& folder, const SmtpMessage& message,
             std::function<void(SmtpReply)> done);

 private:
  void Write(const std::string& folder, std::vector<SpoolFile> files,
             std::function<void(SmtpReply)> done, int attempt);
  // The next counter's name that is not being written; whether the folder holds it, the spool
  // writer finds, off the loop.
  std::string NextName();

  FileSystem& files_;
  const Clock& clock_;
  SpoolWriter& writer_;
  std::function<void(const std::string&)> log_;
  long long counter_ = 0;
  // The highest spool counter among the names the spool folder held at start-up (all of them
  // when it could not be listed): only names up to it can find records an earlier run left.
  long long listed_counter_ = std::numeric_limits<long long>::max();
  std::set<std::string> writing_;  // names of spool files being written
};

}  // namespace mailvane

#endif  // MAILVANE_SERVER_SPOOL_INTAKE_H_
