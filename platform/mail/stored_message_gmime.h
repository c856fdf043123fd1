// The GMime reader behind StoredMessage, and its parser on its own so that a fuzz target can feed
// it bytes without a file.
#ifndef MAILVANE_PLATFORM_MAIL_STORED_MESSAGE_GMIME_H_
#define MAILVANE_PLATFORM_MAIL_STORED_MESSAGE_GMIME_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mail/mail.h"

namespace mailvane {

// Bounds on what a stored message may demand of the reader.
inline constexpr std::size_t kMaxStoredMessageBytes = 64u << 20;
inline constexpr int kMaxMimeDepth = 32;  // nested multiparts and enclosed messages

struct ParsedMessage {
  std::string subject;
  std::string body;  // UTF-8, lines ending in CR LF
  std::string from;
  std::string from_addr;
  std::vector<MailRecipient> recipients;
};

// Parses the text of one message. 0 with *out filled, or kMailBodyError when the bytes are not a
// message (no header, too large, nested too deeply); *out is then empty.
long ParseStoredMessage(std::string_view text, ParsedMessage* out);

// Turns an HTML text into plain text: tags dropped (script and style with their content), basic
// entities decoded, line breaks for <br>, paragraphs, divisions, rows and list items.
std::string HtmlToText(std::string_view html);

// The load result for an errno of opening or reading a spool file: kMailFileTemporaryError for the
// failures that may pass with time or an administrator's hand (EMFILE, ENFILE, ENOMEM, EAGAIN,
// EACCES, EPERM, EIO), otherwise `otherwise` (the file is gone or is no file to read).
long LoadResultForErrno(int error_number, long otherwise);

std::unique_ptr<StoredMessage> NewGmimeStoredMessage();

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_MAIL_STORED_MESSAGE_GMIME_H_
