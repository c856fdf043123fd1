// StoredMessage on GMime 3. The whole file is read into memory (bounded), parsed with lenient
// options, and everything the caller may ask for is extracted at once, so the GMime objects live
// only inside ParseStoredMessage.
//
// Charsets: a body is converted from the charset its part declares. When the declared charset is
// unknown, missing or does not fit the bytes, bytes that are valid UTF-8 are kept as they are and
// any others are read as ISO-8859-1, so the result is always valid UTF-8. Header words follow the
// same rule through GMime's fallback charsets.
#include "platform/mail/stored_message_gmime.h"

#include <errno.h>
#include <fcntl.h>
#include <gmime/gmime.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/base/ascii.h"
#include "platform/mail/gmime_init.h"
#include "platform/mail/gref.h"
#include "platform/mail/mail_result.h"

namespace mailvane {
namespace {

// An upper bound of the nesting depth that GMime's recursive parser would reach: the number of
// Content-Type fields (folded lines included) that name a multipart or an enclosed message.
int CountNestingTypes(std::string_view text) {
  int count = 0;
  bool in_content_type = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    bool folded = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (StartsWithIgnoringAsciiCase(line, "content-type:")) {
      in_content_type = true;
    } else if (!folded) {
      in_content_type = false;
    }
    if (in_content_type && (ContainsIgnoringAsciiCase(line, "multipart") ||
                            ContainsIgnoringAsciiCase(line, "message/"))) {
      ++count;
      in_content_type = false;  // one count per field
    }
  }
  return count;
}

std::string ToUtf8(const std::string& bytes, const char* charset) {
  if (charset != nullptr && *charset != '\0') {
    gsize written = 0;
    GError* error = nullptr;
    gchar* converted = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                                 g_mime_charset_iconv_name(charset), nullptr, &written, &error);
    if (converted != nullptr) {
      std::string result(converted, written);
      g_free(converted);
      if (g_utf8_validate(result.data(), static_cast<gssize>(result.size()), nullptr)) {
        return result;
      }
    }
    if (error != nullptr) g_error_free(error);
  }
  if (g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr)) return bytes;
  std::string latin1;
  latin1.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      latin1.push_back(static_cast<char>(c));
    } else {
      latin1.push_back(static_cast<char>(0xC0 | (c >> 6)));
      latin1.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return latin1;
}

// A header text from GMime, made valid UTF-8 whatever the input was.
std::string HeaderText(const char* text) {
  if (text == nullptr) return "";
  return ToUtf8(text, nullptr);
}

std::string NormaliseLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// The decoded, UTF-8 text of a leaf part.
std::string PartText(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (content == nullptr) return "";
  GRef<GMimeStream> stream(g_mime_stream_mem_new());
  if (g_mime_data_wrapper_write_to_stream(content, stream.get()) < 0) return "";
  GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.get()));
  std::string bytes(reinterpret_cast<const char*>(array->data), array->len);
  const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
  return ToUtf8(bytes, charset);
}

bool IsAttachment(GMimeObject* object) {
  const char* disposition = g_mime_object_get_disposition(object);
  return disposition != nullptr && EqualsIgnoringAsciiCase(disposition, "attachment");
}

// Depth-first search for the first leaf of type text/<subtype> that is not an attachment.
// Enclosed messages are attachments and are not searched.
GMimePart* FindTextPart(GMimeObject* object, const char* subtype, int depth) {
  if (object == nullptr || depth > kMaxMimeDepth) return nullptr;
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    int count = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < count; ++i) {
      GMimePart* found = FindTextPart(g_mime_multipart_get_part(multipart, i), subtype, depth + 1);
      if (found != nullptr) return found;
    }
    return nullptr;
  }
  if (!GMIME_IS_PART(object)) return nullptr;
  GMimeContentType* type = g_mime_object_get_content_type(object);
  if (type == nullptr || !g_mime_content_type_is_type(type, "text", subtype)) return nullptr;
  if (depth > 0 && IsAttachment(object)) return nullptr;
  return GMIME_PART(object);
}

void AddMailboxes(InternetAddressList* list, std::vector<MailRecipient>* out, int depth) {
  if (list == nullptr || depth > 2) return;
  int count = internet_address_list_length(list);
  for (int i = 0; i < count; ++i) {
    InternetAddress* address = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_GROUP(address)) {
      AddMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), out,
                   depth + 1);
    } else if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
      out->push_back(
          {HeaderText(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address))),
           HeaderText(internet_address_get_name(address))});
    }
  }
}

// Where a byte of an address list stands. The delimiters '<' and '>' count as kTop; quote marks
// as kQuoted, parentheses as kComment. An unclosed quote, comment or bracket runs to the end.
enum class Where { kTop, kQuoted, kComment, kAngle };

template <typename Visit>
void ScanAddressText(std::string_view text, Visit visit) {
  bool quoted = false;
  bool angle = false;
  int comment = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted || comment > 0) {
      Where where = quoted ? Where::kQuoted : Where::kComment;
      visit(i, where);
      if (c == '\\' && i + 1 < text.size()) {
        visit(++i, where);
      } else if (quoted && c == '"') {
        quoted = false;
      } else if (!quoted && c == '(') {
        ++comment;
      } else if (!quoted && c == ')') {
        --comment;
      }
    } else if (c == '"') {
      quoted = true;
      visit(i, Where::kQuoted);
    } else if (c == '(') {
      comment = 1;
      visit(i, Where::kComment);
    } else if (angle) {
      angle = c != '>';
      visit(i, angle ? Where::kAngle : Where::kTop);
    } else {
      angle = c == '<';
      visit(i, Where::kTop);
    }
  }
}

// The entries of an address list, split at the commas outside quotes, comments and <...>. With
// groups, "name: a, b;" is one entry.
std::vector<std::string_view> SplitAddressList(std::string_view text, bool groups) {
  std::vector<std::string_view> entries;
  std::size_t start = 0;
  bool in_group = false;
  ScanAddressText(text, [&](std::size_t i, Where where) {
    if (where != Where::kTop) return;
    if (groups && !in_group && text[i] == ':') {
      in_group = true;
    } else if (in_group && text[i] == ';') {
      in_group = false;
      entries.push_back(text.substr(start, i + 1 - start));
      start = i + 1;
    } else if (!in_group && text[i] == ',') {
      entries.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  });
  entries.push_back(text.substr(start));
  return entries;
}

// A display name as written: quote marks dropped (with their escapes), encoded words decoded.
std::string DecodeName(std::string_view text, GMimeParserOptions* options) {
  std::string plain;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      quoted = !quoted;
    } else if (quoted && text[i] == '\\' && i + 1 < text.size()) {
      plain.push_back(text[++i]);
    } else {
      plain.push_back(text[i]);
    }
  }
  plain = std::string(TrimWhitespace(plain));
  gchar* decoded = g_mime_utils_header_decode_text(options, plain.c_str());
  std::string name = HeaderText(decoded);
  g_free(decoded);
  return name;
}

// Whether text is "local@domain" as an address is written: an "@" and no white space outside
// quotes.
bool IsAddrSpec(std::string_view text) {
  bool at = false;
  bool space = false;
  ScanAddressText(text, [&](std::size_t i, Where where) {
    if (where != Where::kTop) return;
    at |= text[i] == '@';
    space |= IsAsciiWhitespace(text[i]);
  });
  return at && !space;
}

// One entry of To or Cc. An e-mail address ("[name] <local@domain>", or "local@domain" with
// nothing but comments beside it) is read by GMime. Anything else, such as a mobile number in
// any of the ways people write one, is taken as written, so that no entry is lost and none turns
// into another number: the text inside <...> as the address and the text before it as the name,
// or without <...> the whole entry as the address. So is an address GMime gives nothing for.
void AddEntry(std::string_view entry, GMimeParserOptions* options,
              std::vector<MailRecipient>* out) {
  std::size_t open = std::string_view::npos;
  std::size_t close = entry.size();
  ScanAddressText(entry, [&](std::size_t i, Where where) {
    if (where != Where::kTop) return;
    if (open == std::string_view::npos && entry[i] == '<') {
      open = i;
    } else if (open != std::string_view::npos && close == entry.size() && entry[i] == '>') {
      close = i;
    }
  });
  std::string_view address;
  std::string_view name;
  std::string spec;  // the address without comments
  if (open == std::string_view::npos) {
    address = TrimWhitespace(entry);
    ScanAddressText(entry, [&](std::size_t i, Where where) {
      if (where != Where::kComment) spec.push_back(entry[i]);
    });
  } else {
    address = TrimWhitespace(entry.substr(open + 1, close - open - 1));
    name = TrimWhitespace(entry.substr(0, open));
    spec = address;
  }
  if (address.empty() || TrimWhitespace(spec).empty())
    return;  // nothing but white space and comments
  // A comment before the "@" of an address that is no e-mail address by its form (whose first
  // character is no letter) may be part of a number, "(07700)900127@sms.example": dropping it
  // would make another number, so such an address is taken as written.
  bool comment_before_at = false;
  bool at_seen = false;
  ScanAddressText(address, [&](std::size_t i, Where where) {
    at_seen |= where == Where::kTop && address[i] == '@';
    comment_before_at |= !at_seen && where == Where::kComment;
  });
  const std::string_view plain_spec = TrimWhitespace(spec);
  const char first = AsciiLower(plain_spec.front());
  const bool number_like = first < 'a' || first > 'z';
  if (IsAddrSpec(plain_spec) && !(comment_before_at && number_like)) {
    std::size_t before = out->size();
    GRef<InternetAddressList> list(
        internet_address_list_parse(options, std::string(entry).c_str()));
    if (list.get() != nullptr) AddMailboxes(list.get(), out, 1);
    if (out->size() != before) return;
  }
  out->push_back({HeaderText(std::string(address).c_str()), DecodeName(name, options)});
}

// Every entry of every header of the given name, in order. A group gives its members.
void AddRecipients(GMimeHeaderList* headers, std::string_view field, GMimeParserOptions* options,
                   std::vector<MailRecipient>* out) {
  int count = g_mime_header_list_get_count(headers);
  for (int i = 0; i < count; ++i) {
    GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
    const char* header_name = g_mime_header_get_name(header);
    const char* raw = g_mime_header_get_raw_value(header);
    if (header_name == nullptr || raw == nullptr || !EqualsIgnoringAsciiCase(header_name, field))
      continue;
    std::string value;
    for (const char* p = raw; *p != '\0'; ++p) {
      if (*p != '\r' && *p != '\n') value.push_back(*p);  // unfolded
    }
    for (std::string_view entry : SplitAddressList(value, true)) {
      std::size_t colon = std::string_view::npos;
      ScanAddressText(entry, [&](std::size_t j, Where where) {
        if (colon == std::string_view::npos && where == Where::kTop && entry[j] == ':') colon = j;
      });
      if (colon == std::string_view::npos) {
        AddEntry(entry, options, out);
        continue;
      }
      std::string_view members = entry.substr(colon + 1);
      if (!members.empty() && members.back() == ';') members.remove_suffix(1);
      for (std::string_view member : SplitAddressList(members, false)) {
        AddEntry(member, options, out);
      }
    }
  }
}

GMimeParserOptions* NewLenientOptions() {
  GMimeParserOptions* options = g_mime_parser_options_new();
  g_mime_parser_options_set_address_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
  g_mime_parser_options_set_parameter_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
  g_mime_parser_options_set_rfc2047_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
  g_mime_parser_options_set_allow_addresses_without_domain(options, TRUE);
  const char* fallback[] = {"UTF-8", "ISO-8859-1", nullptr};
  g_mime_parser_options_set_fallback_charsets(options, fallback);
  return options;
}

class ParserOptions {
 public:
  ParserOptions() : options_(NewLenientOptions()) {}
  ParserOptions(const ParserOptions&) = delete;
  ParserOptions& operator=(const ParserOptions&) = delete;
  ~ParserOptions() { g_mime_parser_options_free(options_); }
  GMimeParserOptions* get() const { return options_; }

 private:
  GMimeParserOptions* options_;
};

class GmimeStoredMessage final : public StoredMessage {
 public:
  void SetTempDirectory(const std::string& folder) override { temp_directory_ = folder; }

  long LoadMessage(const std::string& path, int, int, int) override {
    message_ = {};
    std::string text;
    long result = ReadFile(path, &text);
    if (result != kMailOk) return result;
    return ParseStoredMessage(text, &message_);
  }

  std::string Subject() const override { return message_.subject; }
  std::string BodyText() const override { return message_.body; }
  std::string From() const override { return message_.from; }
  std::string FromAddr() const override { return message_.from_addr; }
  const std::vector<MailRecipient>& Recipients() const override { return message_.recipients; }

 private:
  static long ReadFile(const std::string& path, std::string* text) {
    int fd;
    do {
      fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return LoadResultForErrno(errno, kMailFileOpenError);
    struct stat info {};
    if (fstat(fd, &info) != 0) {
      long result = LoadResultForErrno(errno, kMailFileOpenError);
      close(fd);
      return result;
    }
    if (!S_ISREG(info.st_mode)) {
      close(fd);
      return kMailFileOpenError;
    }
    long result = kMailOk;
    char buffer[64 * 1024];
    for (;;) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        result = LoadResultForErrno(errno, kMailFileReadError);
        break;
      }
      if (n == 0) break;
      if (text->size() + static_cast<std::size_t>(n) > kMaxStoredMessageBytes) {
        result = kMailBodyError;
        break;
      }
      text->append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    if (result != kMailOk) text->clear();
    return result;
  }

  std::string temp_directory_;  // kept for the caller; the reader needs no temporary files
  ParsedMessage message_;
};

}  // namespace

long LoadResultForErrno(int error_number, long otherwise) {
  switch (error_number) {
    case EMFILE:  // descriptors of the process or the system exhausted: others close theirs
    case ENFILE:
    case ENOMEM:  // kernel memory short
    case EAGAIN:
    case EACCES:  // permissions an administrator can mend; the file is still there
    case EPERM:
    case EIO:  // a device or network file system failing for now
      return kMailFileTemporaryError;
    default:  // ENOENT, ENOTDIR, ELOOP, EISDIR, ...: gone, or not a file one can read
      return otherwise;
  }
}

long ParseStoredMessage(std::string_view text, ParsedMessage* out) {
  *out = {};
  if (text.empty() || text.size() > kMaxStoredMessageBytes) return kMailBodyError;
  if (CountNestingTypes(text) > kMaxMimeDepth) return kMailBodyError;
  EnsureGmimeInitialized();

  ParserOptions options;
  GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
  GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
  GRef<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), options.get()));
  if (message.get() == nullptr) return kMailBodyError;
  GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(message.get()));
  if (headers == nullptr || g_mime_header_list_get_count(headers) == 0) return kMailBodyError;

  ParsedMessage parsed;
  parsed.subject = HeaderText(g_mime_message_get_subject(message.get()));

  std::vector<MailRecipient> senders;
  AddMailboxes(g_mime_message_get_from(message.get()), &senders, 0);
  InternetAddressList* from_list = g_mime_message_get_from(message.get());
  if (from_list != nullptr && internet_address_list_length(from_list) > 0 &&
      INTERNET_ADDRESS_IS_MAILBOX(internet_address_list_get_address(from_list, 0)) &&
      !senders.empty()) {
    parsed.from = senders.front().name;
    parsed.from_addr = senders.front().address;
  }
  AddRecipients(headers, "To", options.get(), &parsed.recipients);
  AddRecipients(headers, "Cc", options.get(), &parsed.recipients);

  GMimeObject* body = g_mime_message_get_mime_part(message.get());
  if (GMimePart* plain = FindTextPart(body, "plain", 0)) {
    parsed.body = NormaliseLineEnds(PartText(plain));
  } else if (GMimePart* html = FindTextPart(body, "html", 0)) {
    parsed.body = NormaliseLineEnds(HtmlToText(PartText(html)));
  }
  *out = std::move(parsed);
  return kMailOk;
}

std::unique_ptr<StoredMessage> NewGmimeStoredMessage() {
  return std::make_unique<GmimeStoredMessage>();
}

}  // namespace mailvane
