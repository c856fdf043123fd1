// What one send came to, for every way Mailvane sends (an SMS over any protocol, a mail).
// A sender keeps the outcome of its last send; its Send returns the code. Header only.
#ifndef MAILVANE_PLATFORM_BASE_SEND_OUTCOME_H_
#define MAILVANE_PLATFORM_BASE_SEND_OUTCOME_H_

#include <string>
#include <utility>

namespace mailvane {

// How a failed send may end, so that the caller can decide between trying again and giving up.
enum class SendFailure {
  kNone,       // the send succeeded
  kTemporary,  // a later try may pass (a busy provider, a time-out, a throttled SMS)
  kPermanent,  // no retry changes it (an invalid number, a destination the provider refuses)
  kProvider,   // the provider itself cannot be used now (connection, TLS, bind or login refused,
               // unusable settings): every SMS would fail alike until it recovers
  kStopping,   // the program is stopping: nothing was sent, and the attempt does not count
};

struct SendOutcome {
  // 0 when sent; otherwise the sender's code (the mail layer's, or an SMS renderer's own).
  long code = 0;
  // Why not, in a sentence for the daily log and the console; empty when sent.
  std::string text;
  // How the failure may end; kNone exactly when sent.
  SendFailure failure = SendFailure::kNone;

  bool sent() const { return code == 0; }

  static SendOutcome Sent() { return {}; }
  // A failure of a non-zero code; a code of 0 is a send, whatever the text says.
  static SendOutcome Failed(long code, std::string text, SendFailure failure) {
    if (code == 0) return Sent();
    return {code, std::move(text),
            failure == SendFailure::kNone ? SendFailure::kTemporary : failure};
  }

  bool operator==(const SendOutcome&) const = default;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_BASE_SEND_OUTCOME_H_
