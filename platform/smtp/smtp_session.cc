#include "platform/smtp/smtp_session.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/base/ascii.h"

namespace mailvane {
namespace {

// Replies of this module; texts a client may match are kept in one place.
constexpr std::string_view kReplyLineTooLong = "500 5.5.6 Line too long";
constexpr std::string_view kReplyNul = "500 5.5.2 Syntax error: NUL in command";
constexpr std::string_view kReplyBadSyntax = "500 5.5.2 Syntax error: empty command";
constexpr std::string_view kReplyUnknown = "500 5.5.2 Error: command not recognized";
constexpr std::string_view kReplyNotImplemented = "502 5.5.1 Error: command not implemented";
constexpr std::string_view kReplyOk = "250 2.0.0 Ok";
constexpr std::string_view kReplyTooManyErrors = "421 4.7.0 Too many errors";
constexpr std::string_view kReplyTooBig = "552 5.3.4 Message too big";
constexpr std::string_view kReplyBareCr = "550 5.6.0 Bare <CR> in message text";
constexpr std::string_view kReplyTooMuchHeld = "421 4.7.0 Too much pipelined input";

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// How much of text comes before its first CR or LF (all of it when there is neither). memchr
// scans a window at a time: message text goes at memory speed, and no search runs more than a
// window past the line end it finds, so that text of many short lines still costs time in
// proportion to its length.
size_t LineSpan(std::string_view text) {
  constexpr size_t kWindow = 256;
  for (size_t start = 0; start < text.size(); start += kWindow) {
    const char* window = text.data() + start;
    const size_t size = std::min(kWindow, text.size() - start);
    const auto* lf = static_cast<const char*>(std::memchr(window, '\n', size));
    const size_t limit = lf ? static_cast<size_t>(lf - window) : size;
    const auto* cr = static_cast<const char*>(std::memchr(window, '\r', limit));
    if (cr) return start + static_cast<size_t>(cr - window);
    if (lf) return start + limit;
  }
  return text.size();
}

// A text that goes into a reply line: no line ends or other control characters.
std::string ReplySafe(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  for (char c : text) safe.push_back(IsControl(static_cast<unsigned char>(c)) ? ' ' : c);
  return safe;
}

// Parses "<path>" at the start of text: a quoted local part may hold spaces and ">"; no control
// characters anywhere. A source route ("@a,@b:user@host") is dropped, as RFC 5321 allows.
// On success *address is the path without brackets and *rest what follows the ">".
bool ParsePath(std::string_view text, std::string* address, std::string_view* rest) {
  if (text.empty() || text[0] != '<') return false;
  bool quoted = false;
  size_t i = 1;
  for (; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (IsControl(c)) return false;
    if (quoted) {
      if (c == '\\') {
        if (++i >= text.size() || IsControl(static_cast<unsigned char>(text[i]))) return false;
      } else if (c == '"') {
        quoted = false;
      }
      continue;
    }
    if (c == '"') {
      quoted = true;
    } else if (c == '>') {
      break;
    } else if (c == '<' || c == ' ' || c == '\t') {
      return false;
    }
  }
  if (i >= text.size()) return false;
  std::string_view path = text.substr(1, i - 1);
  if (!path.empty() && path[0] == '@') {
    size_t colon = path.find(':');
    if (colon == std::string_view::npos) return false;
    path.remove_prefix(colon + 1);
    if (path.empty()) return false;
  }
  *address = std::string(path);
  *rest = text.substr(i + 1);
  return rest->empty() || rest->front() == ' ';
}

// Splits "KEY=value KEY2" parameters; false on an empty keyword.
bool NextParameter(std::string_view* text, std::string_view* keyword, std::string_view* value) {
  *text = TrimBlanks(*text);
  if (text->empty()) return false;
  size_t end = text->find(' ');
  std::string_view token = text->substr(0, end);
  text->remove_prefix(end == std::string_view::npos ? text->size() : end);
  size_t equals = token.find('=');
  *keyword = token.substr(0, equals);
  *value = equals == std::string_view::npos ? std::string_view() : token.substr(equals + 1);
  return true;
}

bool ParseDecimal(std::string_view digits, uint64_t* number) {
  if (digits.empty() || digits.size() > 19) return false;
  uint64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  *number = n;
  return true;
}

}  // namespace

SmtpSession::SmtpSession(SmtpSessionOptions options) : options_(std::move(options)) {
  options_.host_name = ReplySafe(options_.host_name);
  options_.greeting_text = ReplySafe(options_.greeting_text);
  options_.closing_text = ReplySafe(options_.closing_text);
}

void SmtpSession::Greet() {
  if (closed_) return;
  std::string greeting = "220 " + options_.host_name;
  if (!options_.greeting_text.empty()) greeting += " " + options_.greeting_text;
  Reply(greeting);
}

void SmtpSession::Refuse(int code, std::string_view text) {
  if (closed_) return;
  Reply(std::to_string(code) + " " + ReplySafe(text));
  Close();
}

void SmtpSession::Feed(std::string_view bytes) {
  if (closed_ || bytes.empty()) return;
  if (awaiting_answer_) {
    if (held_.size() + bytes.size() > kMaxHeldInput) {
      held_.clear();
      RefuseTransaction(kReplyTooMuchHeld);
      Reply(kReplyTooMuchHeld);
      Close();
      return;
    }
    held_.append(bytes);
    return;
  }
  std::string_view input = bytes;
  while (!input.empty() && !closed_ && !awaiting_answer_) {
    if (in_data_) {
      ProcessDataBytes(&input);
    } else {
      ProcessCommandBytes(&input);
    }
  }
  if (!closed_ && !input.empty()) held_.assign(input);
}

SmtpMessage SmtpSession::TakeMessage() {
  SmtpMessage message = std::move(*message_);
  message_.reset();
  return message;
}

void SmtpSession::Answer(const SmtpReply& reply) {
  if (!awaiting_answer_ || message_.has_value()) return;
  int code = reply.code;
  std::string text = ReplySafe(reply.text);
  if (code < 200 || code > 599) {
    code = 451;
    text.clear();
  }
  if (text.empty()) {
    text = code < 300   ? "2.0.0 Ok: queued"
           : code < 500 ? "4.3.0 Error: local error in processing"
                        : "5.3.0 Error: message refused";
  }
  Reply(std::to_string(code) + " " + text);
  awaiting_answer_ = false;
  ResetTransaction();
  std::string held = std::move(held_);
  held_.clear();
  Feed(held);
}

void SmtpSession::OnTimeout() {
  if (closed_) return;
  std::string reply = "421 4.4.2 " + options_.host_name + " Error: timeout exceeded";
  RefuseTransaction(reply);
  Reply(reply);
  Close();
}

std::vector<std::string> SmtpSession::TakeRefusals() {
  std::vector<std::string> refusals = std::move(refusals_);
  refusals_.clear();
  return refusals;
}

void SmtpSession::RefuseTransaction(std::string_view reply) {
  if (in_transaction_) refusals_.emplace_back(reply);
}

std::string SmtpSession::TakeOutput() {
  std::string output = std::move(output_);
  output_.clear();
  return output;
}

void SmtpSession::Reply(std::string_view reply) {
  output_.append(reply);
  output_.append("\r\n");
  if (output_.size() > options_.limits.max_pending_output) {
    overflow_ = true;
    Close();
  }
}

void SmtpSession::ErrorReply(std::string_view reply) {
  Reply(reply);
  if (closed_) return;
  if (++errors_ > options_.limits.max_errors) {
    RefuseTransaction(kReplyTooManyErrors);
    Reply(kReplyTooManyErrors);
    Close();
  }
}

void SmtpSession::Close() {
  closed_ = true;
  held_.clear();
  line_.clear();
}

void SmtpSession::ResetTransaction() {
  in_transaction_ = false;
  sender_.clear();
  recipients_.clear();
  text_.clear();
}

void SmtpSession::ProcessCommandBytes(std::string_view* input) {
  const size_t max = options_.limits.max_line_length;
  while (!input->empty() && !closed_ && !in_data_ && !awaiting_answer_) {
    size_t lf = input->find('\n');
    std::string_view part = input->substr(0, lf);
    if (!line_too_long_) {
      // One more byte than the bound may be the CR of the line end.
      if (line_.size() + part.size() > max + 1) {
        line_too_long_ = true;
        line_.clear();
      } else {
        line_.append(part);
      }
    }
    if (lf == std::string_view::npos) {
      input->remove_prefix(input->size());
      return;
    }
    input->remove_prefix(lf + 1);
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    bool too_long = line_too_long_ || line_.size() > max;
    std::string line = std::move(line_);
    line_.clear();
    line_too_long_ = false;
    if (too_long) {
      ErrorReply(kReplyLineTooLong);
    } else {
      HandleCommandLine(line, line.find('\0') != std::string::npos);
    }
  }
}

void SmtpSession::HandleCommandLine(std::string_view line, bool has_nul) {
  if (has_nul) {
    ErrorReply(kReplyNul);
    return;
  }
  line = TrimBlanks(line);
  if (line.empty()) {
    ErrorReply(kReplyBadSyntax);
    return;
  }
  size_t space = line.find(' ');
  std::string_view verb = line.substr(0, space);
  std::string_view args =
      space == std::string_view::npos ? std::string_view() : TrimBlanks(line.substr(space + 1));

  if (EqualsIgnoringAsciiCase(verb, "HELO")) {
    Helo(args, false);
  } else if (EqualsIgnoringAsciiCase(verb, "EHLO")) {
    Helo(args, true);
  } else if (EqualsIgnoringAsciiCase(verb, "MAIL")) {
    Mail(args);
  } else if (EqualsIgnoringAsciiCase(verb, "RCPT")) {
    Rcpt(args);
  } else if (EqualsIgnoringAsciiCase(verb, "DATA")) {
    Data(args);
  } else if (EqualsIgnoringAsciiCase(verb, "RSET")) {
    if (!args.empty()) {
      ErrorReply("501 5.5.4 Syntax: RSET");
      return;
    }
    ResetTransaction();
    Reply(kReplyOk);
  } else if (EqualsIgnoringAsciiCase(verb, "NOOP")) {
    Reply(kReplyOk);
  } else if (EqualsIgnoringAsciiCase(verb, "VRFY")) {
    if (args.empty()) {
      ErrorReply("501 5.5.4 Syntax: VRFY address");
      return;
    }
    Reply("252 2.0.0 Cannot VRFY user, but will accept message and attempt delivery");
  } else if (EqualsIgnoringAsciiCase(verb, "HELP")) {
    Reply("214 2.0.0 Commands: HELO EHLO MAIL RCPT DATA RSET NOOP VRFY HELP QUIT");
  } else if (EqualsIgnoringAsciiCase(verb, "QUIT")) {
    Reply("221 2.0.0 " + options_.closing_text);
    Close();
  } else if (EqualsIgnoringAsciiCase(verb, "EXPN") || EqualsIgnoringAsciiCase(verb, "TURN") ||
             EqualsIgnoringAsciiCase(verb, "ETRN") || EqualsIgnoringAsciiCase(verb, "BDAT") ||
             EqualsIgnoringAsciiCase(verb, "AUTH") || EqualsIgnoringAsciiCase(verb, "STARTTLS")) {
    ErrorReply(kReplyNotImplemented);
  } else {
    ErrorReply(kReplyUnknown);
  }
}

void SmtpSession::Helo(std::string_view args, bool extended) {
  if (args.empty()) {
    ErrorReply(extended ? "501 5.5.4 Syntax: EHLO hostname" : "501 5.5.4 Syntax: HELO hostname");
    return;
  }
  ResetTransaction();
  greeted_ = true;
  if (!extended) {
    Reply("250 " + options_.host_name);
    return;
  }
  Reply("250-" + options_.host_name + "\r\n250-SIZE " +
        std::to_string(options_.limits.max_message_size) +
        "\r\n250-8BITMIME\r\n250-PIPELINING\r\n250 ENHANCEDSTATUSCODES");
}

void SmtpSession::Mail(std::string_view args) {
  if (!greeted_) {
    ErrorReply("503 5.5.1 Error: send HELO/EHLO first");
    return;
  }
  if (in_transaction_) {
    ErrorReply("503 5.5.1 Error: nested MAIL command");
    return;
  }
  constexpr std::string_view kSyntax = "501 5.5.4 Syntax: MAIL FROM:<address>";
  if (!StartsWithIgnoringAsciiCase(args, "FROM:")) {
    ErrorReply(kSyntax);
    return;
  }
  std::string sender;
  std::string_view rest;
  if (!ParsePath(TrimBlanks(args.substr(5)), &sender, &rest)) {
    ErrorReply(kSyntax);
    return;
  }
  bool seen_size = false;
  bool seen_body = false;
  std::string_view keyword;
  std::string_view value;
  while (NextParameter(&rest, &keyword, &value)) {
    if (EqualsIgnoringAsciiCase(keyword, "SIZE") && !seen_size) {
      seen_size = true;
      uint64_t size = 0;
      if (!ParseDecimal(value, &size)) {
        ErrorReply("501 5.5.4 Bad SIZE parameter");
        return;
      }
      if (size > options_.limits.max_message_size) {
        // The announced message is too big: a transaction refused as it begins.
        constexpr std::string_view kTooBig = "552 5.3.4 Message size exceeds fixed limit";
        refusals_.emplace_back(kTooBig);
        ErrorReply(kTooBig);
        return;
      }
    } else if (EqualsIgnoringAsciiCase(keyword, "BODY") && !seen_body) {
      seen_body = true;
      if (!EqualsIgnoringAsciiCase(value, "7BIT") && !EqualsIgnoringAsciiCase(value, "8BITMIME")) {
        ErrorReply("501 5.5.4 Bad BODY parameter");
        return;
      }
    } else {
      ErrorReply("555 5.5.4 Unsupported option: " + ReplySafe(keyword.substr(0, 64)));
      return;
    }
  }
  in_transaction_ = true;
  sender_ = std::move(sender);
  recipients_.clear();
  Reply("250 2.1.0 Ok");
}

void SmtpSession::Rcpt(std::string_view args) {
  if (!in_transaction_) {
    ErrorReply("503 5.5.1 Error: need MAIL command");
    return;
  }
  constexpr std::string_view kSyntax = "501 5.5.4 Syntax: RCPT TO:<address>";
  if (!StartsWithIgnoringAsciiCase(args, "TO:")) {
    ErrorReply(kSyntax);
    return;
  }
  std::string recipient;
  std::string_view rest;
  if (!ParsePath(TrimBlanks(args.substr(3)), &recipient, &rest) || recipient.empty()) {
    ErrorReply(kSyntax);
    return;
  }
  std::string_view keyword;
  std::string_view value;
  if (NextParameter(&rest, &keyword, &value)) {
    ErrorReply("555 5.5.4 Unsupported option: " + ReplySafe(keyword.substr(0, 64)));
    return;
  }
  if (recipients_.size() >= options_.limits.max_recipients) {
    Reply("452 4.5.3 Too many recipients");
    return;
  }
  recipients_.push_back(std::move(recipient));
  Reply("250 2.1.5 Ok");
}

void SmtpSession::Data(std::string_view args) {
  if (!in_transaction_) {
    ErrorReply("503 5.5.1 Error: need MAIL command");
    return;
  }
  if (recipients_.empty()) {
    ErrorReply("503 5.5.1 Error: need RCPT command");
    return;
  }
  if (!args.empty()) {
    ErrorReply("501 5.5.4 Syntax: DATA");
    return;
  }
  Reply("354 End data with <CR><LF>.<CR><LF>");
  if (closed_) return;
  in_data_ = true;
  data_state_ = DataState::kLineStart;
  crlf_pending_ = false;
  pending_end_bare_ = false;
  text_.clear();
  text_size_ = 0;
  too_big_ = false;
  bare_cr_ = false;
}

void SmtpSession::AppendText(std::string_view bytes) {
  if (text_size_ > std::numeric_limits<size_t>::max() - bytes.size()) {
    text_size_ = std::numeric_limits<size_t>::max();
  } else {
    text_size_ += bytes.size();
  }
  if (text_size_ > options_.limits.max_message_size) too_big_ = true;
  if (too_big_ || bare_cr_) {
    // The message will be refused: keep nothing of it.
    if (!text_.empty()) std::string().swap(text_);
    return;
  }
  text_.append(bytes);
}

void SmtpSession::ProcessDataBytes(std::string_view* input) {
  // Every line end, CR LF or bare LF, is stored as CR LF once the next line shows that it is text.
  auto flush_line_end = [this] {
    if (crlf_pending_) {
      crlf_pending_ = false;
      AppendText("\r\n");
    }
  };
  auto line_end = [this](bool bare) {
    crlf_pending_ = true;
    pending_end_bare_ = bare;
    data_state_ = DataState::kLineStart;
  };
  while (!input->empty() && in_data_) {
    char c = input->front();
    switch (data_state_) {
      case DataState::kLineStart:
        if (c == '.') {
          input->remove_prefix(1);
          if (pending_end_bare_) {
            // After a bare LF no "." line ends the text: the dot is stuffing.
            flush_line_end();
            data_state_ = DataState::kInLine;
          } else {
            data_state_ = DataState::kDot;
          }
        } else {
          flush_line_end();
          data_state_ = DataState::kInLine;
        }
        break;
      case DataState::kDot:
        if (c == '\r') {
          input->remove_prefix(1);
          data_state_ = DataState::kDotCr;
        } else {
          // A leading "." of a longer line (or of ".\n") is stuffing: dropped.
          flush_line_end();
          data_state_ = DataState::kInLine;
        }
        break;
      case DataState::kDotCr:
        if (c == '\n') {
          input->remove_prefix(1);
          EndOfData();
          return;
        }
        // ".", then a CR that is not a line end: the dot is stuffing, the CR bare.
        flush_line_end();
        data_state_ = DataState::kInLineCr;
        break;
      case DataState::kInLine: {
        const size_t span = LineSpan(*input);
        if (span > 0) {
          AppendText(input->substr(0, span));
          input->remove_prefix(span);
        }
        if (input->empty()) return;
        if (input->front() == '\r') {
          data_state_ = DataState::kInLineCr;
        } else {
          line_end(true);
        }
        input->remove_prefix(1);
        break;
      }
      case DataState::kInLineCr:
        if (c == '\n') {
          input->remove_prefix(1);
          line_end(false);
        } else {
          // The CR held back was bare; c is looked at again in kInLine.
          bare_cr_ = true;
          AppendText("\r");
          data_state_ = DataState::kInLine;
        }
        break;
    }
  }
}

void SmtpSession::EndOfData() {
  in_data_ = false;
  std::string_view refusal;
  if (too_big_) {
    refusal = kReplyTooBig;
  } else if (bare_cr_) {
    refusal = kReplyBareCr;
  }
  if (!refusal.empty()) {
    std::string().swap(text_);
    RefuseTransaction(refusal);
    ResetTransaction();
    Reply(refusal);
    return;
  }
  SmtpMessage message;
  message.sender = sender_;
  message.recipients = recipients_;
  for (size_t i = 0; i < recipients_.size(); ++i) {
    if (i > 0) message.recipient_text += ", ";
    message.recipient_text += recipients_[i];
  }
  message.byte_count =
      static_cast<uint32_t>(std::min<size_t>(text_.size(), std::numeric_limits<uint32_t>::max()));
  message.text = std::move(text_);
  text_.clear();
  message_ = std::move(message);
  awaiting_answer_ = true;
}

}  // namespace mailvane
