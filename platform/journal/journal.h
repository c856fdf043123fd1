// The message journal: the record of what happened to every message and recipient (tries,
// answers, receipts, actions), kept in one database file, LogDir & "journal.sqlite". The queue
// handler is its only writer; the server's console and mailvanectl open it read-only. The spool
// and its records decide what is sent; the journal only records it, so a caller never lets a
// journal failure stop, delay or repeat a send.
//
// Errors are std::error_code values of JournalCategory() (JournalError below), never exceptions;
// ErrorText() has the database's own words for the last failure. One thread at a time per Journal
// object; several processes may read while the writer writes (readers see committed batches).
#ifndef MAILVANE_PLATFORM_JOURNAL_JOURNAL_H_
#define MAILVANE_PLATFORM_JOURNAL_JOURNAL_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "platform/loop/clock.h"

namespace mailvane {

enum class JournalError {
  kUnavailable = 1,  // the file cannot be opened (missing folder, no journal yet, a folder there)
  kCorrupt,          // the file is not a database, or a damaged one
  kReadOnly,         // a writer cannot write: permissions, a read-only file system
  kFull,             // the disk or the quota is full
  kBusy,             // another process held a lock for longer than the wait
  kVersion,          // the file has a schema this program does not know (a newer program's)
  kNotWritable,      // a write was asked of a journal opened read-only
  kNotFound,         // the message asked for is not in the journal
  kBadRequest,       // a query's argument is malformed (a cursor, a limit)
  kFailed,           // any other failure of the database
};
const std::error_category& JournalCategory();
std::error_code make_error_code(JournalError e);

// What a recipient has come to. The names are those stored and shown ("given up", "not allowed").
enum class RecipientState {
  kQueued,       // waiting to be sent
  kSent,         // the provider accepted it
  kDelivered,    // by receipt
  kUndelivered,  // by receipt
  kExpired,      // by receipt
  kRejected,     // by receipt
  kFailed,       // failed, will be tried again (the answer says why)
  kGivenUp,      // the message expired before it could be sent
  kCancelled,    // an administrator cancelled it
  kForwarded,    // an e-mail recipient, forwarded
  kNotAllowed,   // an e-mail recipient that may not be forwarded to
  kHeld,
  kDuplicate,
  kOptedOut,
};
std::string_view RecipientStateName(RecipientState state);
std::optional<RecipientState> ParseRecipientState(std::string_view name);

enum class RecipientKind { kSms, kForward, kNotAllowed };  // stored as "sms", "forward", ...
std::string_view RecipientKindName(RecipientKind kind);

// A message is waiting while its spool file exists; it ends when the file goes. kUnknownEnd: its
// spool file was found gone at the handler's start with no end recorded.
enum class MessageState { kWaiting, kEnded, kUnknownEnd };
// "waiting", "ended", "ended, outcome unknown (handler restarted)".
std::string_view MessageStateText(MessageState state);

enum class Direction { kOutbound, kInbound };  // mail to SMS; an SMS received (later)

// Whether two provider message ids name the same message: equal as text, or, when both read as
// numbers, equal in value with either read as decimal and either as hexadecimal (SMSCs commonly
// give one form when accepting and the other in the receipt: "1A2B" and "6699").
bool SameProviderId(std::string_view a, std::string_view b);
// The values an id reads as: decimal when it is all digits, hexadecimal when it is all hex
// digits; nothing when it is neither or exceeds 64 bits.
std::optional<uint64_t> ProviderIdDecimal(std::string_view id);
std::optional<uint64_t> ProviderIdHex(std::string_view id);

// ---- Writing: the handler fills a batch during one scan or pass, and writes it once. ----------

struct NewRecipient {
  std::string address;  // the number or e-mail address as written in the mail
  RecipientKind kind = RecipientKind::kSms;
  RecipientState state = RecipientState::kQueued;
};

// A message seen for the first time. Ignored when its spool name is in the journal already.
struct NewMessage {
  std::string spool_name;
  TimePoint received;
  Direction direction = Direction::kOutbound;
  std::optional<std::string> envelope_sender;  // when the spool recorded one
  std::string from;                            // the From header as decoded
  std::string subject;
  std::string message_id;  // the Message-ID header
  int64_t size = 0;        // bytes of the spool file
  std::vector<NewRecipient> recipients;
};

// One try of one recipient, and what came of it (kSent, kFailed, kForwarded, kNotAllowed ...).
// Adds the recipient when the message has no such address yet; counts a try.
struct Try {
  std::string spool_name;
  std::string address;
  RecipientKind kind = RecipientKind::kSms;
  TimePoint time;
  RecipientState state = RecipientState::kSent;
  std::string answer;                     // the provider's answer or the error text
  std::string provider;                   // the provider's name
  std::string sent_number;                // the number as sent; empty: unchanged
  std::vector<std::string> provider_ids;  // one per part, as the provider gave them
  int parts = 0;
  std::string text;  // the SMS text as sent; empty: unchanged
};

// An action or a decision that is not a try: cancelled, given up, queued again for a retry. An
// empty address applies it to every recipient of the message still queued or failed.
struct StateChange {
  std::string spool_name;
  std::string address;
  TimePoint time;
  RecipientState state = RecipientState::kCancelled;
  std::string text;  // what the timeline says ("cancelled by an administrator")
};

// A delivery receipt. It updates the newest recipient whose provider id is the same
// (SameProviderId; an exact text match first), of that provider unless provider is empty.
struct Receipt {
  std::string provider_id;
  std::string provider;
  TimePoint time;
  RecipientState state = RecipientState::kDelivered;  // delivered/undelivered/expired/rejected
  std::string text;                                   // the receipt's state and error as given
};

// The message's spool file is gone: the message has ended.
struct MessageEnd {
  std::string spool_name;
  TimePoint time;
};

// Writes applied in order, in one transaction. A batch is a plain value: filling it never touches
// the database, so it cannot fail and costs no I/O on the send path.
class JournalBatch {
 public:
  using Entry = std::variant<NewMessage, Try, StateChange, Receipt, MessageEnd>;

  void Add(Entry entry) { entries_.push_back(std::move(entry)); }
  // Appends another batch (one that could not be written, to write it with this one).
  void Append(JournalBatch&& other);
  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  void clear() { entries_.clear(); }
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  std::vector<Entry> entries_;
};

// What one write found: for each receipt of the batch, in order, the recipient it updated
// (found false: no recipient has that provider id). Writes to a message the journal does not
// know are skipped and counted.
struct ReceiptMatch {
  bool found = false;
  std::string spool_name;
  std::string address;
};
struct WriteResult {
  std::vector<ReceiptMatch> receipts;
  int skipped = 0;
};

// ---- Reading ---------------------------------------------------------------------------------

struct JournalEvent {
  TimePoint time;
  std::string address;  // the recipient; empty: the message as a whole
  std::string kind;     // "try", "receipt", "action"
  RecipientState state = RecipientState::kQueued;
  std::string text;
};

struct JournalRecipient {
  std::string address;
  std::string sent_number;
  RecipientKind kind = RecipientKind::kSms;
  RecipientState state = RecipientState::kQueued;
  int tries = 0;
  std::optional<TimePoint> last_try;
  std::string answer;
  std::string provider;
  std::vector<std::string> provider_ids;
  int parts = 0;
  std::optional<RecipientState> receipt_state;
  std::optional<TimePoint> receipt_time;
  std::string text;
};

struct JournalMessage {
  std::string spool_name;
  TimePoint received;
  Direction direction = Direction::kOutbound;
  std::optional<std::string> envelope_sender;
  std::string from;
  std::string subject;
  std::string message_id;
  int64_t size = 0;
  MessageState state = MessageState::kWaiting;
  std::optional<TimePoint> ended;
  std::vector<JournalRecipient> recipients;
  std::vector<JournalEvent> events;  // filled by Timeline only, oldest first
};

// A search of messages, newest first. Empty fields do not filter; set ones must all hold.
struct MessageQuery {
  std::string number;  // a recipient's address as written or number as sent, exactly
  std::string sender;  // the envelope sender, ignoring ASCII case
  std::string text;    // in the subject, the From header or an SMS text, ignoring case
  std::optional<RecipientState> state;  // some recipient is in this state
  std::optional<TimePoint> since;       // received at or after
  std::optional<TimePoint> before;      // received before
  std::string after;                    // a page's next_cursor: the page after it
  int limit = 50;                       // 1 .. kMaxPage
};
constexpr int kMaxPage = 500;

struct MessagePage {
  std::vector<JournalMessage> messages;  // with their recipients, no events
  std::string next_cursor;               // empty when this was the last page
};

// ---- The journal -----------------------------------------------------------------------------

enum class JournalMode {
  kWrite,  // creates the file and its schema when missing, migrates an older schema
  kRead,   // never changes the file; fails with kUnavailable when there is none
};

class Journal {
 public:
  Journal() = default;
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;
  virtual ~Journal() = default;

  // Whether the last call (the opening included) succeeded, and its error when not. A caller
  // reports a failure once, when ok() turns false, and later calls Reopen to try again.
  virtual bool ok() const = 0;
  virtual std::error_code error() const = 0;
  virtual std::string ErrorText() const = 0;
  // Closes the file and opens it again (after it was mended, the disk freed, the folder made).
  // While the file is not open, every other call fails at once with the opening's error.
  virtual std::error_code Reopen() = 0;

  // Writes the whole batch in one transaction, synced before it returns; on failure nothing of
  // it is written, and the caller may keep the batch and write it again later.
  virtual std::error_code Write(const JournalBatch& batch, WriteResult* result) = 0;
  // At the handler's start: every message still waiting whose spool name is not in `present`
  // ends as kUnknownEnd at `now`. *ended counts them.
  virtual std::error_code Reconcile(const std::vector<std::string>& present, TimePoint now,
                                    int* ended) = 0;
  // Removes the ended messages received before `cutoff`, with their recipients and events.
  virtual std::error_code RemoveOlderThan(TimePoint cutoff, int* removed) = 0;

  virtual std::error_code FindMessages(const MessageQuery& query, MessagePage* page) = 0;
  // One message with its recipients and its events; kNotFound when the journal has none.
  virtual std::error_code Timeline(const std::string& spool_name, JournalMessage* message) = 0;
  // The SMS of one number (as written or as sent), newest first: each message with only the
  // recipients of that number.
  virtual std::error_code NumberLog(const std::string& number, int limit,
                                    std::vector<JournalMessage>* messages) = 0;
  // The messages still waiting, oldest first, with their recipients.
  virtual std::error_code Waiting(int limit, std::vector<JournalMessage>* messages) = 0;
};

// The SQLite journal at `path`: WAL, every commit synced (synchronous FULL). Never null; when
// the file cannot be opened the journal is returned not ok(), with the reason.
std::unique_ptr<Journal> OpenJournal(const std::string& path, JournalMode mode);

// The journal's file name within LogDir.
inline constexpr char kJournalFileName[] = "journal.sqlite";

}  // namespace mailvane

template <>
struct std::is_error_code_enum<mailvane::JournalError> : std::true_type {};

#endif  // MAILVANE_PLATFORM_JOURNAL_JOURNAL_H_
