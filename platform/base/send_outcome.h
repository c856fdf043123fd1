// What one send came to, for every way Mailvane sends (an SMS over any protocol, a mail).
// Header only.
#ifndef MAILVANE_PLATFORM_BASE_SEND_OUTCOME_H_
#define MAILVANE_PLATFORM_BASE_SEND_OUTCOME_H_

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

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_BASE_SEND_OUTCOME_H_
