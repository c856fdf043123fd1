// An RFC 5321 server on the program's event loop, in place of the SMTP listener component. It
// speaks the protocol, bounds everything a client controls (SmtpLimits) and raises two events on
// the loop thread: Connecting when a client connects, MailReceived after the final "." of DATA.
// All members are called on the loop thread.
#ifndef MAILVANE_PLATFORM_SMTP_SMTP_SERVER_H_
#define MAILVANE_PLATFORM_SMTP_SMTP_SERVER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/loop/event_loop.h"

namespace mailvane {

// Bounds on what one client controls; the defaults follow Postfix's smtpd where it has one.
struct SmtpLimits {
  size_t max_line_length = 2048;               // command line (a text line: max_message_size)
  size_t max_message_size = 10 * 1024 * 1024;  // bytes of message text, announced by SIZE
  size_t max_recipients = 1000;                // RCPT TO per message
  std::chrono::milliseconds command_timeout{300'000};  // waiting for a command
  std::chrono::milliseconds data_timeout{300'000};     // waiting for more DATA text
  int max_errors = 20;                                 // bad commands before 421 and disconnect
  size_t max_connections = 100;                        // sessions at once; more get 421
  size_t max_pending_output = 256 * 1024;  // unread replies before the client is dropped
};

// What Connecting and MailReceived pass about a client.
struct SmtpClient {
  std::string ip_address;  // dotted decimal
  uint64_t session_id = 0;
};

struct SmtpMessage {
  // The envelope recipients as given in RCPT TO, without angle brackets, joined by ", ".
  std::string recipient_text;
  // The complete message text as received: dot-unstuffed, lines ended by CR LF, without the
  // final "." line (and without the CR LF that precedes it).
  std::string text;
  std::vector<std::string> recipients;
  std::string sender;       // the reverse path of MAIL FROM, without angle brackets
  uint32_t byte_count = 0;  // bytes of text
};

// The answer MailReceived gives for a message: 250 once it is safely stored, a 4xx when not.
struct SmtpReply {
  int code = 250;
  std::string text;  // after the code and enhanced status, e.g. "2.0.0 Ok: queued"
};

class SmtpEvents {
 public:
  virtual ~SmtpEvents() = default;
  // Admission: true keeps the client; false gets "554" and the connection is closed.
  virtual bool Connecting(const SmtpClient& client) = 0;
  // The message after the final "."; the client waits until done is called, on the loop thread,
  // exactly once (it may be called later, after other events). An exception thrown here gets the
  // client a 451 reply. Calling done after the client has gone, or after Stop or the server's
  // destruction, is harmless and sends nothing; further calls are ignored.
  virtual void MailReceived(const SmtpClient& client, const SmtpMessage& message,
                            std::function<void(SmtpReply)> done) = 0;
  // A transaction of an admitted client that the listener itself ended with a 4xx or 5xx reply
  // instead of the 250 after DATA (see SmtpSession); reply is the line as sent, without CR LF.
  // At most once per transaction; never for the answer MailReceived gave. An exception thrown
  // here is ignored.
  virtual void Refused(const SmtpClient& client, const std::string& reply) = 0;
};

class SmtpServer {
 public:
  SmtpServer() = default;
  SmtpServer(const SmtpServer&) = delete;
  SmtpServer& operator=(const SmtpServer&) = delete;
  virtual ~SmtpServer() = default;

  virtual void SetPort(int16_t port) = 0;  // the port's 16 bits as an unsigned port
  virtual void SetClosingText(const std::string& text) = 0;   // "221 " text on QUIT
  virtual void SetGreetingText(const std::string& text) = 0;  // "220 <host> " text on connect
  // Listens on every IPv4 address of the port, and on no IPv6 address: the allow-list holds
  // IPv4 only, so a client that tries ::1 first is refused at TCP and falls back to 127.0.0.1.
  // Fails when the port cannot be bound.
  virtual std::error_code Start() = 0;
  // Stops listening and closes every session at once (no event is raised for them any more).
  virtual void Stop() = 0;
  // The port actually bound (after Start).
  virtual uint16_t BoundPort() const = 0;
};

std::unique_ptr<SmtpServer> NewSmtpServer(EventLoop& loop, SmtpEvents& events,
                                          SmtpLimits limits = {});

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SMTP_SMTP_SERVER_H_
