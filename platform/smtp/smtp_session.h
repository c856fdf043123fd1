// The SMTP protocol of one client connection as a state machine without sockets: fed the bytes the
// client sent, it queues the reply bytes and reports what the connection must do next. The server
// owns the socket, the timers and the events; the session owns the protocol, so that the protocol
// can be tested and fuzzed on its own. Single-threaded; nothing here throws on client input.
//
// Everything the client controls is bounded by SmtpLimits:
// - Command lines end in LF (a CR before it is dropped). A line longer than max_line_length (not
//   counting its line end) is discarded to its LF and answered "500 5.5.6 Line too long".
//   A NUL byte in a command gets "500 5.5.2 Syntax error: NUL in command".
// - DATA text ends only at CR LF "." CR LF (right after the 354, "." CR LF alone is the end).
//   A text line may end in CR LF or in a bare LF; both are stored as CR LF. A bare LF never ends
//   the text: "\n.\n", "\r\n.\n" and "\n.\r\n" are an empty text line (the dot is stuffing),
//   so no second message can be smuggled in. Text lines have no length bound of their own.
// - Hostile text is read to its end and then refused, never repaired, and the message is not
//   delivered; if both apply, the first listed wins:
//     more than max_message_size bytes as stored    "552 5.3.4 Message too big"
//     a bare CR (one not followed by LF)             "550 5.6.0 Bare <CR> in message text"
//   A bare CR is no line end anywhere today, and passed on in a forwarded mail it is one of the
//   forms ("\r.\r") that lax receivers take as the end of the text.
//   Text is stored only up to the bound, so memory stays bounded whatever the client sends.
// - Replies of 500 and more to commands are errors; the error after the first max_errors gets its
//   reply followed by "421 4.7.0 Too many errors" and the session closes.
// - Unread output is bounded: once more than max_pending_output bytes of replies are queued, the
//   session stops reading input and reports overflow(); the server drops such a client.
// - While a MailReceived answer is awaited, input is held, not processed (at most kMaxHeldInput
//   bytes; more closes the session with 421): pipelined commands after DATA wait for the answer.
// - A transaction begins at MAIL FROM. One that the session itself ends with a 4xx or 5xx reply
//   instead of the 250 after DATA leaves that reply line (without CR LF) in TakeRefusals(): a MAIL
//   FROM refused for its SIZE, a message too big, a bare CR, and a 421 while a transaction is
//   open (too many errors, time-out, too much held input). At most one per transaction; the
//   answer given through Answer() is never one, and errors outside a transaction leave none.
#ifndef MAILVANE_PLATFORM_SMTP_SMTP_SESSION_H_
#define MAILVANE_PLATFORM_SMTP_SMTP_SESSION_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/smtp/smtp_server.h"

namespace mailvane {

struct SmtpSessionOptions {
  std::string host_name = "localhost";
  std::string greeting_text;  // after "220 <host name> "
  std::string closing_text;   // after "221 2.0.0 "
  SmtpLimits limits;
};

class SmtpSession {
 public:
  static constexpr size_t kMaxHeldInput = 1024 * 1024;

  explicit SmtpSession(SmtpSessionOptions options);
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;

  // Queues the greeting "220 <host> <greeting text>".
  void Greet();
  // Queues a refusal in place of the greeting (e.g. "554 5.7.1 Access denied") and closes.
  void Refuse(int code, std::string_view text);

  // Processes the client's bytes, in any chunking. Ignored once closed.
  void Feed(std::string_view bytes);

  // A message whose final "." was accepted; the session now waits for Answer. Taken once.
  bool message_ready() const { return message_.has_value(); }
  SmtpMessage TakeMessage();
  bool awaiting_answer() const { return awaiting_answer_; }
  // The answer to the message taken: queues "<code> <text>", ends the transaction and goes on
  // with the held input. A code outside 200..599 becomes 451. Ignored when no answer is awaited.
  void Answer(const SmtpReply& reply);

  // The client kept silent too long: queues "421 4.4.2 ..." and closes.
  void OnTimeout();

  // The replies that refused transactions since the last call, in order.
  std::vector<std::string> TakeRefusals();

  // Reply bytes queued since the last call.
  std::string TakeOutput();
  size_t pending_output() const { return output_.size(); }

  // No more input is processed: after QUIT, a 421, a refusal, or output overflow. The server
  // sends what is queued and closes the connection.
  bool closed() const { return closed_; }
  bool overflow() const { return overflow_; }
  // Between the 354 and the final "." (the server then applies data_timeout).
  bool in_data() const { return in_data_; }
  int errors() const { return errors_; }

 private:
  enum class DataState { kLineStart, kDot, kDotCr, kInLine, kInLineCr };

  void ProcessCommandBytes(std::string_view* input);
  void ProcessDataBytes(std::string_view* input);
  void HandleCommandLine(std::string_view line, bool has_nul);
  void Reply(std::string_view reply);
  void ErrorReply(std::string_view reply);
  void Close();
  void ResetTransaction();
  void EndOfData();
  void AppendText(std::string_view bytes);
  void RefuseTransaction(std::string_view reply);

  void Helo(std::string_view args, bool extended);
  void Mail(std::string_view args);
  void Rcpt(std::string_view args);
  void Data(std::string_view args);

  SmtpSessionOptions options_;
  std::string output_;
  std::string held_;  // input not yet processed
  bool closed_ = false;
  bool overflow_ = false;
  int errors_ = 0;

  // Command mode.
  std::string line_;
  bool line_too_long_ = false;
  bool line_has_nul_ = false;

  // Session and transaction.
  bool greeted_ = false;  // HELO or EHLO seen
  bool in_transaction_ = false;
  std::string sender_;
  std::vector<std::string> recipients_;

  // DATA.
  bool in_data_ = false;
  DataState data_state_ = DataState::kLineStart;
  bool crlf_pending_ = false;  // a line end that belongs to the text unless the "." line follows
  bool pending_end_bare_ = false;  // that line end was a bare LF: no "." line can end the text
  std::string text_;
  size_t text_size_ = 0;  // bytes of text as stored, also past the bound
  bool too_big_ = false;
  bool bare_cr_ = false;
  std::vector<std::string> refusals_;

  std::optional<SmtpMessage> message_;
  bool awaiting_answer_ = false;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SMTP_SMTP_SESSION_H_
