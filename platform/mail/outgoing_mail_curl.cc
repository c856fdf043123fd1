// OutgoingMail on libcurl's SMTP. The message is composed once with GMime and offered to each
// server of the list in turn, each dialogue bounded by MailOptions, on a connection of the
// factory's cache when one to that server is open, else a new one; the first server that takes
// it ends the send. curl's results are translated into the layer's codes here
// and nowhere else, with the SMTP stage (the last command curl sent) telling a refused sender
// from a refused recipient.
#include "platform/mail/outgoing_mail_curl.h"

#include <curl/curl.h>
#include <gmime/gmime.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

#include "platform/base/ascii.h"
#include "platform/mail/gmime_init.h"
#include "platform/mail/gref.h"
#include "platform/mail/mail_result.h"

namespace mailvane {
namespace {

void EnsureCurlInitialized() {
  // Initialisation, not state: done once, thread-safely, before the first handle.
  static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)init;
}

std::string Trim(std::string_view text) { return std::string(TrimWhitespace(text)); }

}  // namespace

class MailConnectionCache {
 public:
  MailConnectionCache() : share_(curl_share_init()) {
    if (share_ == nullptr) return;
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &Lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &Unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
  }
  MailConnectionCache(const MailConnectionCache&) = delete;
  MailConnectionCache& operator=(const MailConnectionCache&) = delete;
  ~MailConnectionCache() {
    if (share_ != nullptr) curl_share_cleanup(share_);
  }
  CURLSH* share() const { return share_; }

 private:
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<MailConnectionCache*>(self)->locks_[Index(data)].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<MailConnectionCache*>(self)->locks_[Index(data)].unlock();
  }
  static std::size_t Index(curl_lock_data data) {
    return static_cast<std::size_t>(data) < kLocks ? static_cast<std::size_t>(data) : 0;
  }

  static constexpr std::size_t kLocks = CURL_LOCK_DATA_LAST;
  CURLSH* share_;
  std::array<std::mutex, kLocks> locks_;
};

namespace {

int ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return 0;
  int port = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
    port = port * 10 + (c - '0');
  }
  return port >= 1 && port <= 65535 ? port : 0;
}

// Valid UTF-8 on one line: what a header text may hold.
std::string HeaderSafe(const std::string& text) {
  gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
  std::string out(valid);
  g_free(valid);
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return out;
}

// An address fit for an SMTP command: no line breaks or brackets that could end the command.
bool IsCommandSafe(const std::string& address) {
  return address.find_first_of("\r\n<>\0", 0, 5) == std::string::npos;
}

struct Upload {
  const std::string* text;
  std::size_t offset = 0;
};

size_t ReadUpload(char* buffer, size_t size, size_t count, void* user) {
  auto* upload = static_cast<Upload*>(user);
  std::size_t left = upload->text->size() - upload->offset;
  std::size_t n = std::min(left, size * count);
  std::memcpy(buffer, upload->text->data() + upload->offset, n);
  upload->offset += n;
  return n;
}

// What the dialogue with one server reached, seen through curl's protocol trace.
enum class Stage { kGreeting, kHello, kStartTls, kAuth, kMail, kRecipient, kData };

struct Dialogue {
  Stage stage = Stage::kGreeting;
  std::string last_reply;  // the last line the server sent before QUIT
  bool quitting = false;
};

int TraceDialogue(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  auto* dialogue = static_cast<Dialogue*>(user);
  std::string_view text(data, size);
  if (type == CURLINFO_HEADER_OUT) {
    auto starts = [&](std::string_view verb) { return StartsWithIgnoringAsciiCase(text, verb); };
    if (starts("EHLO") || starts("HELO")) {
      dialogue->stage = Stage::kHello;
    } else if (starts("STARTTLS")) {
      dialogue->stage = Stage::kStartTls;
    } else if (starts("AUTH")) {
      dialogue->stage = Stage::kAuth;
    } else if (starts("MAIL")) {
      dialogue->stage = Stage::kMail;
    } else if (starts("RCPT")) {
      dialogue->stage = Stage::kRecipient;
    } else if (starts("DATA")) {
      dialogue->stage = Stage::kData;
    } else if (starts("QUIT")) {
      dialogue->quitting = true;
    }
  } else if (type == CURLINFO_HEADER_IN && !dialogue->quitting) {
    dialogue->last_reply = Trim(text);
  }
  return 0;
}

// Ends the dialogue once the abort was called; libcurl asks at least once a second.
int CheckAbort(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* abort = static_cast<const SendAbort*>(user);
  return abort != nullptr && abort->aborted() ? 1 : 0;
}

// The one place where curl's results become the layer's codes.
long MapCurlResult(CURLcode code, const Dialogue& dialogue, long response, bool connected) {
  bool refused = response >= 400;
  switch (code) {
    case CURLE_OK:
      return kMailOk;
    case CURLE_ABORTED_BY_CALLBACK:
      return kMailCancelled;
    case CURLE_COULDNT_RESOLVE_HOST:
      return kMailResolveError;
    case CURLE_COULDNT_CONNECT:
      return kMailConnectError;
    case CURLE_OPERATION_TIMEDOUT:
      return connected ? kMailSocketTimeout : kMailConnectTimeout;
    case CURLE_OUT_OF_MEMORY:
      return kMailOutOfMemory;
    case CURLE_LOGIN_DENIED:
      return kMailAuthFailed;
    case CURLE_AUTH_ERROR:
      return kMailAuthNotSupported;
    case CURLE_REMOTE_ACCESS_DENIED:  // EHLO and HELO both refused
      return kMailConversationError;
    case CURLE_WEIRD_SERVER_REPLY:
      return dialogue.stage == Stage::kGreeting || dialogue.stage == Stage::kHello
                 ? kMailConversationError
                 : kMailBadResponse;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      if (!refused) return kMailSocketError;
      switch (dialogue.stage) {
        case Stage::kGreeting:
        case Stage::kHello:
          return kMailConversationError;
        case Stage::kMail:
          return kMailFromRefused;
        case Stage::kRecipient:
          return kMailRecipientRefused;
        case Stage::kAuth:
          return kMailAuthFailed;
        default:
          return kMailBadResponse;
      }
    case CURLE_GOT_NOTHING:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      return kMailSocketError;
    default:
      return refused ? kMailBadResponse : kMailSocketError;
  }
}

std::string DomainOf(const std::string& address) {
  std::size_t at = address.rfind('@');
  if (at == std::string::npos || at + 1 >= address.size()) return "";
  return address.substr(at + 1);
}

class CurlOutgoingMail final : public OutgoingMail {
 public:
  CurlOutgoingMail(const MailOptions& options, std::shared_ptr<MailConnectionCache> connections)
      : options_(options), connections_(std::move(connections)) {}

  void Reset() override {
    servers_.clear();
    subject_.clear();
    body_.clear();
    recipients_.clear();
    from_.clear();
    from_addr_.clear();
    outcome_ = SendOutcome::Sent();
  }
  void SetBodyFormat() override {}
  void SetMailServer(const std::string& servers) override { servers_ = servers; }
  void SetSubject(const std::string& subject) override { subject_ = subject; }
  void SetBodyText(const std::string& body) override { body_ = body; }
  void AddRecipient(const std::string& name, const std::string& address) override {
    recipients_.push_back({address, name});
  }
  void SetFrom(const std::string& name) override { from_ = name; }
  void SetFromAddr(const std::string& address) override { from_addr_ = address; }

  long Send() override {
    detail_.clear();
    const long code = Deliver();
    outcome_ = SendOutcome::Failed(code, detail_, MailFailureOf(code));
    return code;
  }

  const SendOutcome& Outcome() const override { return outcome_; }

 private:
  // The mail to the first server that takes it; a failure leaves its detail in detail_.
  long Deliver() {
    std::vector<MailServerEntry> servers = ParseMailServers(servers_);
    if (servers.empty()) {
      detail_ = "no mail server in \"" + servers_ + "\"";
      return kMailNoServer;
    }
    if (!IsCommandSafe(from_addr_)) {
      detail_ = "sender address not usable in SMTP";
      return kMailFromRefused;
    }
    for (const MailRecipient& r : recipients_) {
      if (!IsCommandSafe(r.address) || r.address.empty()) {
        detail_ = "recipient address not usable in SMTP";
        return kMailRecipientRefused;
      }
    }
    if (recipients_.empty()) {
      detail_ = "no recipient";
      return kMailRecipientRefused;
    }
    std::string domain = DomainOf(from_addr_);
    std::string text = ComposeMailText({from_, from_addr_, recipients_, subject_, body_,
                                        domain.empty() ? "mailvane.localdomain" : domain});
    long result = kMailConnectError;
    for (const MailServerEntry& server : servers) {
      if (options_.abort && options_.abort->aborted()) {
        detail_ = "the send was stopped";
        return kMailCancelled;
      }
      result = SendTo(server, text);
      if (result == kMailCancelled) break;
      if (result == kMailOk) {
        detail_.clear();
        break;
      }
    }
    return result;
  }

  long SendTo(const MailServerEntry& server, const std::string& text) {
    std::string where = server.host + ":" + std::to_string(server.port);
    if (server.port == 0) {
      detail_ = "bad port in mail server entry \"" + server.host + "\"";
      return kMailConnectError;
    }
    EnsureCurlInitialized();
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
      detail_ = where + ": curl_easy_init failed";
      return kMailException;
    }
    bool v6 = server.host.find(':') != std::string::npos;
    std::string url = "smtp://" + (v6 ? "[" + server.host + "]" : server.host) + ":" +
                      std::to_string(server.port);
    if (!options_.helo_name.empty()) {
      char* escaped = curl_easy_escape(curl, options_.helo_name.c_str(),
                                       static_cast<int>(options_.helo_name.size()));
      if (escaped != nullptr) {
        url += "/";
        url += escaped;
        curl_free(escaped);
      }
    }
    curl_slist* rcpt = nullptr;
    for (const MailRecipient& r : recipients_) {
      curl_slist* next = curl_slist_append(rcpt, r.address.c_str());
      if (next == nullptr) break;
      rcpt = next;
    }
    Upload upload{&text};
    Dialogue dialogue;
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from_addr_.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(text.size()));
    const bool verify = options_.tls == MailTls::kVerify;
    curl_easy_setopt(
        curl, CURLOPT_USE_SSL,
        static_cast<long>(options_.tls == MailTls::kMay ? CURLUSESSL_TRY : CURLUSESSL_ALL));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    if (verify && !options_.tls_ca_file.empty()) {
      curl_easy_setopt(curl, CURLOPT_CAINFO, options_.tls_ca_file.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(options_.connect_timeout.count()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(options_.transfer_timeout.count()));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (connections_ && connections_->share() != nullptr) {
      curl_easy_setopt(curl, CURLOPT_SHARE, connections_->share());
      curl_easy_setopt(curl, CURLOPT_MAXAGE_CONN, kMailConnectionIdleSeconds);
    } else {
      curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &TraceDialogue);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &dialogue);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &CheckAbort);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, options_.abort.get());

    CURLcode code = curl_easy_perform(curl);
    long response = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response);
    curl_off_t connect_time = 0;
    curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connect_time);
    long new_connections = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &new_connections);
    curl_easy_cleanup(curl);
    curl_slist_free_all(rcpt);

    const bool connected = connect_time > 0 || new_connections == 0;  // or a cached connection
    long result = MapCurlResult(code, dialogue, response, connected);
    if (result != kMailOk) {
      // A refusal of the TLS level names it, so the administrator knows which setting decided.
      const bool tls = code == CURLE_USE_SSL_FAILED || code == CURLE_SSL_CONNECT_ERROR ||
                       code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE ||
                       dialogue.stage == Stage::kStartTls;
      detail_ = where + ": " +
                (tls ? std::string("MailTLS ") + MailTlsName(options_.tls) + " refused: " : "") +
                (error[0] != '\0' ? error : curl_easy_strerror(code)) + " (curl " +
                std::to_string(static_cast<int>(code)) + ", response " + std::to_string(response) +
                ")";
      if (!dialogue.last_reply.empty()) detail_ += " last reply: " + dialogue.last_reply;
    }
    return result;
  }

  const MailOptions options_;
  const std::shared_ptr<MailConnectionCache> connections_;
  std::string servers_;
  std::string subject_;
  std::string body_;
  std::vector<MailRecipient> recipients_;
  std::string from_;
  std::string from_addr_;
  std::string detail_;
  SendOutcome outcome_;
};

}  // namespace

std::vector<MailServerEntry> ParseMailServers(const std::string& servers) {
  std::vector<MailServerEntry> out;
  std::size_t pos = 0;
  while (pos <= servers.size()) {
    std::size_t end = servers.find(';', pos);
    if (end == std::string::npos) end = servers.size();
    std::string entry = Trim(std::string_view(servers).substr(pos, end - pos));
    pos = end + 1;
    if (entry.empty()) continue;
    MailServerEntry server;
    if (entry[0] == '[') {
      std::size_t close = entry.find(']');
      if (close == std::string::npos) {
        server.host = entry.substr(1);
        server.port = 0;
      } else {
        server.host = entry.substr(1, close - 1);
        std::string rest = entry.substr(close + 1);
        if (!rest.empty()) server.port = rest[0] == ':' ? ParsePort(rest.substr(1)) : 0;
      }
    } else {
      std::size_t colon = entry.find(':');
      if (colon != std::string::npos && entry.find(':', colon + 1) == std::string::npos) {
        server.host = Trim(entry.substr(0, colon));
        server.port = ParsePort(Trim(entry.substr(colon + 1)));
      } else {
        server.host = entry;  // a name, or an IPv6 literal written without brackets
      }
    }
    if (server.host.empty()) server.port = 0;
    out.push_back(server);
  }
  return out;
}

std::string ComposeMailText(const ComposedMail& mail) {
  EnsureGmimeInitialized();
  GRef<GMimeMessage> message(g_mime_message_new(TRUE));
  g_mime_message_add_mailbox(message.get(), GMIME_ADDRESS_TYPE_FROM,
                             HeaderSafe(mail.from_name).c_str(),
                             HeaderSafe(mail.from_addr).c_str());
  for (const MailRecipient& r : mail.recipients) {
    g_mime_message_add_mailbox(message.get(), GMIME_ADDRESS_TYPE_TO, HeaderSafe(r.name).c_str(),
                               HeaderSafe(r.address).c_str());
  }
  g_mime_message_set_subject(message.get(), HeaderSafe(mail.subject).c_str(), "utf-8");
  GDateTime* now = g_date_time_new_now_local();
  g_mime_message_set_date(message.get(), now);
  g_date_time_unref(now);
  char* id = g_mime_utils_generate_message_id(mail.message_id_domain.c_str());
  g_mime_message_set_message_id(message.get(), id);
  g_free(id);

  // The body in canonical form: valid UTF-8 with CR LF line ends.
  gchar* valid = g_utf8_make_valid(mail.body.data(), static_cast<gssize>(mail.body.size()));
  std::string body;
  for (const char* p = valid; *p != '\0'; ++p) {
    if (*p == '\r') {
      body += "\r\n";
      if (p[1] == '\n') ++p;
    } else if (*p == '\n') {
      body += "\r\n";
    } else {
      body.push_back(*p);
    }
  }
  g_free(valid);

  GRef<GMimePart> part(g_mime_part_new_with_type("text", "plain"));
  g_mime_object_set_content_type_parameter(GMIME_OBJECT(part.get()), "charset", "utf-8");
  GRef<GMimeStream> content(g_mime_stream_mem_new_with_buffer(body.data(), body.size()));
  GRef<GMimeDataWrapper> wrapper(
      g_mime_data_wrapper_new_with_stream(content.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(part.get(), wrapper.get());
  g_mime_part_set_content_encoding(part.get(), g_mime_part_get_best_content_encoding(
                                                   part.get(), GMIME_ENCODING_CONSTRAINT_7BIT));
  g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(part.get()));

  GMimeFormatOptions* format = g_mime_format_options_new();
  g_mime_format_options_set_newline_format(format, GMIME_NEWLINE_FORMAT_DOS);
  GRef<GMimeStream> out(g_mime_stream_mem_new());
  g_mime_object_write_to_stream(GMIME_OBJECT(message.get()), format, out.get());
  g_mime_format_options_free(format);
  GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out.get()));
  return std::string(reinterpret_cast<const char*>(array->data), array->len);
}

std::shared_ptr<MailConnectionCache> NewMailConnectionCache() {
  EnsureCurlInitialized();
  return std::make_shared<MailConnectionCache>();
}

std::unique_ptr<OutgoingMail> NewCurlOutgoingMail(
    const MailOptions& options, std::shared_ptr<MailConnectionCache> connections) {
  return std::make_unique<CurlOutgoingMail>(options, std::move(connections));
}

}  // namespace mailvane
