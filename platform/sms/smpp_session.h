// One SMPP 3.4 session of an ESME bound as transceiver, on the program's event loop, held
// across many SMS (as a database client holds its connection). It connects and binds on the
// first Submit, answers the SMSC's enquire_link, unbind and deliver_sm, sends its own
// enquire_link every 30 s, and after a drop reconnects and rebinds with back-off (1 s doubling
// to 60 s), also while no Submit is waiting, so that delivery receipts keep arriving.
//
// SMS may be started without waiting (StartSubmit), and then share the session: Window bounds the
// submits in flight across all of them, their parts going out in the order the SMS were started.
// Submit is the waiting form: it runs the event loop until every part of its SMS is answered, so
// the loop's other handlers run meanwhile, as they do while a synchronous call to an
// out-of-process component waits. Throughput spaces submits (per second, 0 = no limit).
// ESME_RTHROTTLED and ESME_RMSGQFUL pause the session and resend the part, at most
// kMaxThrottleRetries times per SMS. A lost connection fails every SMS under way, and so does
// an SMSC that stops reading (more than smpp::kMaxOutgoingPdus waiting to be written): the
// connection is dropped and made again after the back-off.
//
// Loop thread only. The loop must have been made by NewEventLoop.
#ifndef MAILVANE_PLATFORM_SMS_SMPP_SESSION_H_
#define MAILVANE_PLATFORM_SMS_SMPP_SESSION_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/send_outcome.h"

namespace mailvane {

class EventLoop;

inline constexpr std::chrono::seconds kSmppResponseTimeout{30};
inline constexpr std::chrono::seconds kSmppEnquireLinkInterval{30};
inline constexpr std::chrono::seconds kSmppBackoffFirst{1};
inline constexpr std::chrono::seconds kSmppBackoffLast{60};
inline constexpr std::chrono::milliseconds kSmppThrottlePause{1000};
inline constexpr int kMaxThrottleRetries = 10;
inline constexpr int kMaxSmppWindow = 100;
// Message ids remembered for matching delivery receipts to their numbers, oldest forgotten first.
inline constexpr std::size_t kMaxTrackedMessageIds = 10000;

struct SmppSessionOptions {
  std::string host;
  uint16_t port = 2775;
  bool tls = false;  // verified against the system's trust store (SSL_CERT_FILE overrides it)
  std::string system_id;
  std::string password;
  std::string system_type;
  int window = 10;     // 1 .. kMaxSmppWindow
  int throughput = 0;  // submits per second, 0: no limit
  bool delivery_reports = false;
  // Receives each delivery receipt beside its log line: the receipted message id, its state word
  // as given ("DELIVRD", "UNDELIV", "EXPIRED", "REJECTD", ...) and its error code ("000").
  std::function<void(const std::string& id, const std::string& stat, const std::string& error)>
      receipt = nullptr;
};

// One SMS: its parts as short_message octets with their esm_class and data_coding.
struct SmppMessage {
  uint8_t source_ton = 0;
  uint8_t source_npi = 0;
  std::string source_addr;
  uint8_t dest_ton = 0;
  uint8_t dest_npi = 1;
  std::string destination_addr;
  uint8_t data_coding = 0;
  uint8_t esm_class = 0;
  std::vector<std::string> parts;
};

// What one SMS came to. A failure has the code kSmsProviderFailed and a text such as
// "SMPP submit_sm: ESME_RINVDSTADR (0x0000000B)", "SMPP submit_sm: no response in 30 s" or
// "SMPP connection to host:port: <reason>". Its kind: kPermanent for a status no retry changes
// (smpp::IsPermanentStatus); kProvider when no connection could be made, TLS or the bind failed,
// or the SMSC closed or stopped reading the session; kStopping when the loop was stopped or the
// session closed while the SMS was under way; kTemporary otherwise (throttling, ESME_RSYSERR,
// time-outs, ...).
struct SmppResult {
  SendOutcome outcome;
  std::vector<std::string> message_ids;  // one per part, in order, when sent
};

// What is wrong with an account for binding (empty, or longer than SMPP 3.4 allows), in a
// sentence naming the setting; empty when it can be used.
std::string SmppAccountProblem(const std::string& system_id, const std::string& password);

class SmppSession {
 public:
  // log receives the daily-log lines of delivery receipts ("SMS <number> <stat> (<id>)"; one of
  // an SMS that did not arrive begins with "!!!").
  SmppSession(EventLoop& loop, SmppSessionOptions options,
              std::function<void(const std::string&)> log);
  SmppSession(const SmppSession&) = delete;
  SmppSession& operator=(const SmppSession&) = delete;
  ~SmppSession();

  SmppResult Submit(const SmppMessage& message);
  // done receives what Submit would return, on the loop thread: before StartSubmit returns when
  // the SMS cannot be sent now, otherwise from within the loop (WaitForAny, Submit or Run).
  void StartSubmit(const SmppMessage& message, std::function<void(SmppResult)> done);
  // Runs the loop until an SMS started before is done; at once when none is under way.
  void WaitForAny();
  // Unbinds (waiting up to 2 s for the answer) and closes; later Submits fail. May be called
  // after the loop was stopped.
  void Close();

  const SmppSessionOptions& options() const;

 private:
  class Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SMS_SMPP_SESSION_H_
