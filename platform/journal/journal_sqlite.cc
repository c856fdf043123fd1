// The journal over SQLite 3: the only file of Mailvane that calls SQLite. Every statement is
// prepared once per open and kept; times are stored as seconds since 1970 (UTC).
#include <sqlite3.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <map>
#include <unordered_set>

#include "platform/journal/journal.h"

namespace mailvane {
namespace {

// Each step takes the schema from the version before it to its own (user_version = index + 1).
// A later change appends a step; a file of an older version is brought up at the writer's open.
constexpr const char* kSchemaSteps[] = {
    R"sql(
CREATE TABLE messages(
  id INTEGER PRIMARY KEY,
  spool_name TEXT NOT NULL UNIQUE,
  received INTEGER NOT NULL,
  direction TEXT NOT NULL,
  envelope_sender TEXT,
  from_header TEXT NOT NULL,
  subject TEXT NOT NULL,
  message_id TEXT NOT NULL,
  size INTEGER NOT NULL,
  state TEXT NOT NULL,
  ended INTEGER);
CREATE INDEX messages_by_received ON messages(received);
CREATE INDEX messages_by_sender ON messages(envelope_sender COLLATE NOCASE, received);
CREATE INDEX messages_waiting ON messages(received) WHERE ended IS NULL;
CREATE TABLE recipients(
  id INTEGER PRIMARY KEY,
  message INTEGER NOT NULL,
  address TEXT NOT NULL,
  sent_number TEXT NOT NULL DEFAULT '',
  kind TEXT NOT NULL,
  state TEXT NOT NULL,
  tries INTEGER NOT NULL DEFAULT 0,
  last_try INTEGER,
  answer TEXT NOT NULL DEFAULT '',
  provider TEXT NOT NULL DEFAULT '',
  parts INTEGER NOT NULL DEFAULT 0,
  receipt_state TEXT,
  receipt_time INTEGER,
  text TEXT NOT NULL DEFAULT '',
  UNIQUE(message, address));
CREATE INDEX recipients_by_address ON recipients(address);
CREATE INDEX recipients_by_sent_number ON recipients(sent_number);
CREATE INDEX recipients_by_state ON recipients(state, message);
CREATE TABLE provider_ids(
  recipient INTEGER NOT NULL,
  id_text TEXT NOT NULL,
  as_decimal INTEGER,
  as_hex INTEGER);
CREATE INDEX provider_ids_by_recipient ON provider_ids(recipient);
CREATE INDEX provider_ids_by_text ON provider_ids(id_text);
CREATE INDEX provider_ids_by_decimal ON provider_ids(as_decimal) WHERE as_decimal IS NOT NULL;
CREATE INDEX provider_ids_by_hex ON provider_ids(as_hex) WHERE as_hex IS NOT NULL;
CREATE TABLE events(
  id INTEGER PRIMARY KEY,
  message INTEGER NOT NULL,
  recipient INTEGER,
  time INTEGER NOT NULL,
  kind TEXT NOT NULL,
  state TEXT NOT NULL,
  text TEXT NOT NULL);
CREATE INDEX events_by_message ON events(message);
CREATE VIRTUAL TABLE message_words USING fts5(subject, from_header, content='messages',
  content_rowid='id', tokenize='trigram');
CREATE VIRTUAL TABLE recipient_words USING fts5(text, content='recipients', content_rowid='id',
  tokenize='trigram');
CREATE TRIGGER messages_words_add AFTER INSERT ON messages BEGIN
  INSERT INTO message_words(rowid, subject, from_header)
    VALUES (new.id, new.subject, new.from_header);
END;
CREATE TRIGGER messages_words_remove AFTER DELETE ON messages BEGIN
  INSERT INTO message_words(message_words, rowid, subject, from_header)
    VALUES ('delete', old.id, old.subject, old.from_header);
END;
CREATE TRIGGER recipients_words_add AFTER INSERT ON recipients WHEN new.text <> '' BEGIN
  INSERT INTO recipient_words(rowid, text) VALUES (new.id, new.text);
END;
CREATE TRIGGER recipients_words_remove AFTER DELETE ON recipients WHEN old.text <> '' BEGIN
  INSERT INTO recipient_words(recipient_words, rowid, text) VALUES ('delete', old.id, old.text);
END;
CREATE TRIGGER recipients_words_change AFTER UPDATE OF text ON recipients
    WHEN old.text <> new.text BEGIN
  INSERT INTO recipient_words(recipient_words, rowid, text)
    SELECT 'delete', old.id, old.text WHERE old.text <> '';
  INSERT INTO recipient_words(rowid, text) SELECT new.id, new.text WHERE new.text <> '';
END;
)sql",
    // Every search walks one index newest first and stops at its page. sort_key orders messages
    // as (received, id) do, in one integer: the second received, shifted, and the order of
    // recording within that second. Recipients carry their message's key, so the number and
    // state indexes walk in message order. One text index entry per message, its subject, From
    // and SMS texts (the view message_text, nothing stored twice), has the key as its row id, so
    // a text search walks it too. The index is kept by the triggers and by the retention, which
    // remove an entry by giving its words exactly as they were indexed.
    R"sql(
ALTER TABLE messages ADD COLUMN sort_key INTEGER NOT NULL DEFAULT 0;
ALTER TABLE recipients ADD COLUMN sort_key INTEGER NOT NULL DEFAULT 0;
DROP TRIGGER messages_words_add;
DROP TRIGGER messages_words_remove;
DROP TRIGGER recipients_words_add;
DROP TRIGGER recipients_words_remove;
DROP TRIGGER recipients_words_change;
DROP TABLE message_words;
DROP TABLE recipient_words;
DROP INDEX messages_by_received;
DROP INDEX messages_by_sender;
DROP INDEX messages_waiting;
DROP INDEX recipients_by_address;
DROP INDEX recipients_by_sent_number;
DROP INDEX recipients_by_state;
UPDATE messages SET sort_key = k.sort_key FROM (SELECT id, (received << 12) +
  row_number() OVER (PARTITION BY received ORDER BY id) - 1 AS sort_key FROM messages) k
  WHERE k.id = messages.id;
UPDATE recipients SET sort_key = (SELECT sort_key FROM messages WHERE id = recipients.message);
CREATE UNIQUE INDEX messages_by_key ON messages(sort_key);
CREATE INDEX messages_by_sender ON messages(envelope_sender COLLATE NOCASE, sort_key);
CREATE INDEX messages_waiting ON messages(sort_key) WHERE ended IS NULL;
CREATE INDEX recipients_by_address ON recipients(address, sort_key);
CREATE INDEX recipients_by_sent_number ON recipients(sent_number, sort_key);
CREATE INDEX recipients_by_state ON recipients(state, sort_key);
CREATE VIEW message_text(sort_key, words) AS SELECT m.sort_key, m.subject || char(10) ||
  m.from_header || coalesce((SELECT group_concat(char(10) || t, '') FROM (SELECT text AS t FROM
  recipients WHERE message = m.id AND text <> '' ORDER BY id)), '') FROM messages m;
CREATE VIRTUAL TABLE message_words USING fts5(words, content='message_text',
  content_rowid='sort_key', tokenize='trigram');
INSERT INTO message_words(message_words) VALUES ('rebuild');
CREATE TRIGGER messages_words_add AFTER INSERT ON messages BEGIN
  INSERT INTO message_words(rowid, words) VALUES (new.sort_key,
    new.subject || char(10) || new.from_header);
END;
CREATE TRIGGER recipients_words_add AFTER INSERT ON recipients WHEN new.text <> '' BEGIN
  INSERT INTO message_words(message_words, rowid, words) SELECT 'delete', m.sort_key,
    m.subject || char(10) || m.from_header || coalesce((SELECT group_concat(char(10) || t, '')
    FROM (SELECT text AS t FROM recipients WHERE message = m.id AND text <> '' AND id <> new.id
    ORDER BY id)), '') FROM messages m WHERE m.id = new.message;
  INSERT INTO message_words(rowid, words) SELECT sort_key, words FROM message_text
    WHERE sort_key = new.sort_key;
END;
CREATE TRIGGER recipients_words_change AFTER UPDATE OF text ON recipients
    WHEN old.text <> new.text BEGIN
  INSERT INTO message_words(message_words, rowid, words) SELECT 'delete', m.sort_key,
    m.subject || char(10) || m.from_header || coalesce((SELECT group_concat(char(10) || t, '')
    FROM (SELECT iif(id = new.id, old.text, text) AS t FROM recipients WHERE message = m.id AND
    iif(id = new.id, old.text, text) <> '' ORDER BY id)), '') FROM messages m
    WHERE m.id = new.message;
  INSERT INTO message_words(rowid, words) SELECT sort_key, words FROM message_text
    WHERE sort_key = new.sort_key;
END;
)sql",
};
constexpr int kSchemaVersion = std::size(kSchemaSteps);

constexpr char kMessageColumns[] =
    "m.id, m.spool_name, m.received, m.direction, m.envelope_sender, m.from_header, m.subject, "
    "m.message_id, m.size, m.state, m.ended";
constexpr char kRecipientColumns[] =
    "r.id, r.address, r.sent_number, r.kind, r.state, r.tries, r.last_try, r.answer, r.provider, "
    "r.parts, r.receipt_state, r.receipt_time, r.text";
constexpr int kBusyWaitMs = 5000;
// The low bits of a sort_key: the order of recording among the messages received in one second.
// Few bits keep the text index small (it stores the differences of neighbouring keys); a second
// with more messages than they count spills into the keys after it (NextKey).
constexpr int kOrderBits = 12;

std::error_code FromSqlite(int rc) {
  switch (rc & 0xff) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return JournalError::kCorrupt;
    case SQLITE_FULL:
      return JournalError::kFull;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return JournalError::kReadOnly;
    case SQLITE_CANTOPEN:
      return JournalError::kUnavailable;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return JournalError::kBusy;
    default:
      return JournalError::kFailed;
  }
}

int64_t Seconds(TimePoint t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}
TimePoint FromSeconds(int64_t s) { return TimePoint(std::chrono::seconds(s)); }

std::string_view DirectionName(Direction d) { return d == Direction::kInbound ? "in" : "out"; }

MessageState ParseMessageState(std::string_view s) {
  if (s == "ended") return MessageState::kEnded;
  if (s == "unknown") return MessageState::kUnknownEnd;
  return MessageState::kWaiting;
}

RecipientKind ParseKind(std::string_view s) {
  if (s == "forward") return RecipientKind::kForward;
  if (s == "not allowed") return RecipientKind::kNotAllowed;
  return RecipientKind::kSms;
}

// An FTS5 phrase that matches the text as a substring (the trigram tokenizer).
std::string Phrase(std::string_view text) {
  std::string phrase = "\"";
  for (char c : text) {
    phrase += c;
    if (c == '"') phrase += '"';
  }
  return phrase + "\"";
}

// A LIKE pattern matching the text anywhere, with "\" as the escape.
std::string Contains(std::string_view text) {
  std::string pattern = "%";
  for (char c : text) {
    if (c == '%' || c == '_' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern + "%";
}

// Unicode characters of UTF-8 text (the trigram tokenizer needs three to search its index).
size_t Characters(std::string_view text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// One use of a kept statement: bound, stepped, and reset when it goes out of scope.
class Use {
 public:
  explicit Use(sqlite3_stmt* stmt) : stmt_(stmt) {}
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  ~Use() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

  Use& Bind(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Use& Bind(int i, std::string_view v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Use& Bind(int i, const std::string& v) { return Bind(i, std::string_view(v)); }
  Use& Bind(int i, const char* v) { return Bind(i, std::string_view(v)); }
  template <typename T>
  Use& Bind(int i, const std::optional<T>& v) {
    if (v) return Bind(i, *v);
    sqlite3_bind_null(stmt_, i);
    return *this;
  }
  Use& BindNamed(const char* name, std::string_view v) {
    return Bind(sqlite3_bind_parameter_index(stmt_, name), v);
  }
  Use& BindNamed(const char* name, int64_t v) {
    return Bind(sqlite3_bind_parameter_index(stmt_, name), v);
  }

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return sqlite3_step(stmt_); }

  int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  bool IsNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
  std::string Text(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, col))) : "";
  }
  std::optional<TimePoint> Time(int col) const {
    if (IsNull(col)) return std::nullopt;
    return FromSeconds(Int(col));
  }

 private:
  sqlite3_stmt* stmt_;
};

class SqliteJournal final : public Journal {
 public:
  SqliteJournal(std::string path, JournalMode mode) : path_(std::move(path)), mode_(mode) {
    Reopen();
  }
  ~SqliteJournal() override { Close(); }

  bool ok() const override { return !error_; }
  std::error_code error() const override { return error_; }
  std::string ErrorText() const override { return error_text_; }

  std::error_code Reopen() override {
    Close();
    open_error_ = Open();
    if (open_error_) Close();
    return Finish(open_error_);
  }

  std::error_code Write(const JournalBatch& batch, WriteResult* result) override;
  std::error_code Reconcile(const std::vector<std::string>& present, TimePoint now,
                            int* ended) override;
  std::error_code RemoveOlderThan(TimePoint cutoff, int* removed) override;
  std::error_code FindMessages(const MessageQuery& query, MessagePage* page) override;
  std::error_code Timeline(const std::string& spool_name, JournalMessage* message) override;
  std::error_code NumberLog(const std::string& number, int limit,
                            std::vector<JournalMessage>* messages) override;
  std::error_code Waiting(int limit, std::vector<JournalMessage>* messages) override;

 private:
  // Database failures raise a code by this one path, keeping the database's own words.
  std::error_code Fail(int rc) {
    error_text_ = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    return FromSqlite(rc);
  }
  std::error_code Finish(std::error_code ec) {
    error_ = ec;
    if (!ec) {
      error_text_.clear();
    } else if (error_text_.empty()) {
      error_text_ = ec.message();
    }
    return ec;
  }
  // What a call fails with before it starts: not open, or a write asked of a reader.
  std::error_code Refuse(bool writes) {
    if (!db_) return open_error_;
    if (writes && mode_ != JournalMode::kWrite) return JournalError::kNotWritable;
    error_text_.clear();
    return {};
  }

  std::error_code Open();
  void Close() {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
    statements_.clear();
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  std::error_code Exec(const char* sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? std::error_code() : Fail(rc);
  }
  // The statement for this SQL text, prepared at its first use and kept until closing.
  sqlite3_stmt* Statement(const std::string& sql, std::error_code* ec) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) {
      *ec = Fail(rc);
      return nullptr;
    }
    statements_.emplace(sql, stmt);
    return stmt;
  }
  // Runs a statement that returns no rows, or only rows the caller does not need.
  template <typename Binder>
  std::error_code Run(const std::string& sql, Binder bind, int* changes = nullptr) {
    std::error_code ec;
    sqlite3_stmt* stmt = Statement(sql, &ec);
    if (!stmt) return ec;
    Use use(stmt);
    bind(use);
    int rc;
    while ((rc = use.Step()) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) return Fail(rc);
    if (changes) *changes = sqlite3_changes(db_);
    return {};
  }
  // Runs a query, handing each row to `row`.
  template <typename Binder, typename Row>
  std::error_code Query(const std::string& sql, Binder bind, Row row) {
    return Walk(sql, bind, [&row](Use& use) {
      row(use);
      return true;
    });
  }
  // Runs a query while `row` returns true: a walk that stops at its page.
  template <typename Binder, typename Row>
  std::error_code Walk(const std::string& sql, Binder bind, Row row) {
    std::error_code ec;
    sqlite3_stmt* stmt = Statement(sql, &ec);
    if (!stmt) return ec;
    Use use(stmt);
    bind(use);
    int rc;
    while ((rc = use.Step()) == SQLITE_ROW) {
      if (!row(use)) return {};
    }
    return rc == SQLITE_DONE ? std::error_code() : Fail(rc);
  }
  template <typename Body>
  std::error_code InTransaction(Body body) {
    std::error_code ec = Exec("BEGIN IMMEDIATE");
    if (!ec) ec = body();
    if (!ec) ec = Exec("COMMIT");
    if (ec && !sqlite3_get_autocommit(db_))
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return ec;
  }

  std::error_code MessageRow(const std::string& spool_name, int64_t* id);
  // The sort_key of a message received in `second`: after every one recorded for that second;
  // when the second's keys are all taken, the first free key after them (the message sorts as if
  // received a moment later).
  std::error_code NextKey(int64_t second, int64_t* key);
  std::error_code Apply(const NewMessage& m, WriteResult* result);
  std::error_code Apply(const Try& t, WriteResult* result);
  std::error_code Apply(const StateChange& c, WriteResult* result);
  std::error_code Apply(const Receipt& r, WriteResult* result);
  std::error_code Apply(const MessageEnd& e, WriteResult* result);
  std::error_code AddEvent(int64_t message, std::optional<int64_t> recipient, TimePoint time,
                           std::string_view kind, RecipientState state, std::string_view text);
  std::error_code FindReceiptRecipient(const Receipt& r, int64_t* recipient, ReceiptMatch* match);

  static JournalMessage ReadMessage(const Use& row, int64_t* id);
  std::error_code ReadRecipients(int64_t message, JournalMessage* m);
  std::error_code ProviderIds(int64_t recipient, std::vector<std::string>* ids);

  const std::string path_;
  const JournalMode mode_;
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
  std::error_code open_error_;
  std::error_code error_;
  std::string error_text_;
};

std::error_code SqliteJournal::Open() {
  const bool writer = mode_ == JournalMode::kWrite;
  int flags = SQLITE_OPEN_NOMUTEX |
              (writer ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY);
  int rc = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) return Fail(rc);
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyWaitMs);
  if (writer && sqlite3_db_readonly(db_, "main") == 1) {
    error_text_ = "the journal file is write-protected";
    return JournalError::kReadOnly;
  }
  int64_t version = -1;
  std::error_code ec = Query(
      "PRAGMA user_version", [](Use&) {}, [&](const Use& row) { version = row.Int(0); });
  if (ec) return ec;
  if (!writer) {
    if (version == kSchemaVersion) return {};
    error_text_ = version == 0 ? "the journal has not been created yet"
                               : "the journal's schema version is " + std::to_string(version);
    return version == 0 ? JournalError::kUnavailable : JournalError::kVersion;
  }
  if (version > kSchemaVersion || version < 0) {
    error_text_ = "the journal's schema version is " + std::to_string(version);
    return JournalError::kVersion;
  }
  std::string mode;
  ec = Query(
      "PRAGMA journal_mode=WAL", [](Use&) {}, [&](const Use& row) { mode = row.Text(0); });
  if (ec) return ec;
  if (mode != "wal") {
    error_text_ = "the journal cannot use write-ahead logging (mode " + mode + ")";
    return JournalError::kFailed;
  }
  if ((ec = Exec("PRAGMA synchronous=FULL"))) return ec;
  if (version == kSchemaVersion) return {};
  return InTransaction([&]() -> std::error_code {
    for (int step = static_cast<int>(version); step < kSchemaVersion; ++step) {
      if (std::error_code e = Exec(kSchemaSteps[step])) return e;
    }
    return Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
  });
}

// ---- Writing -----------------------------------------------------------------------------------

std::error_code SqliteJournal::Write(const JournalBatch& batch, WriteResult* result) {
  if (std::error_code ec = Refuse(true)) return Finish(ec);
  WriteResult local;
  std::error_code ec = InTransaction([&]() -> std::error_code {
    for (const JournalBatch::Entry& entry : batch.entries()) {
      std::error_code e = std::visit([&](const auto& op) { return Apply(op, &local); }, entry);
      if (e) return e;
    }
    return {};
  });
  if (!ec && result) *result = std::move(local);
  return Finish(ec);
}

std::error_code SqliteJournal::MessageRow(const std::string& spool_name, int64_t* id) {
  *id = 0;
  return Query(
      "SELECT id FROM messages WHERE spool_name = ?", [&](Use& u) { u.Bind(1, spool_name); },
      [&](const Use& row) { *id = row.Int(0); });
}

std::error_code SqliteJournal::AddEvent(int64_t message, std::optional<int64_t> recipient,
                                        TimePoint time, std::string_view kind, RecipientState state,
                                        std::string_view text) {
  return Run("INSERT INTO events(message, recipient, time, kind, state, text) VALUES (?,?,?,?,?,?)",
             [&](Use& u) {
               u.Bind(1, message).Bind(2, recipient).Bind(3, Seconds(time)).Bind(4, kind);
               u.Bind(5, RecipientStateName(state)).Bind(6, text);
             });
}

std::error_code SqliteJournal::NextKey(int64_t second, int64_t* key) {
  const int64_t lo = second << kOrderBits, hi = (second + 1) << kOrderBits;
  *key = lo;
  std::error_code ec = Query(
      "SELECT max(sort_key) FROM messages WHERE sort_key >= ?1 AND sort_key < ?2",
      [&](Use& u) { u.Bind(1, lo).Bind(2, hi); },
      [&](const Use& row) {
        if (!row.IsNull(0)) *key = row.Int(0) + 1;
      });
  if (ec || *key < hi) return ec;
  return Query(
      "SELECT a.sort_key + 1 FROM messages a WHERE a.sort_key >= ?1 AND NOT EXISTS "
      "(SELECT 1 FROM messages b WHERE b.sort_key = a.sort_key + 1) ORDER BY a.sort_key LIMIT 1",
      [&](Use& u) { u.Bind(1, hi - 1); }, [&](const Use& row) { *key = row.Int(0); });
}

std::error_code SqliteJournal::Apply(const NewMessage& m, WriteResult*) {
  int64_t key = 0;
  if (std::error_code ec = NextKey(Seconds(m.received), &key)) return ec;
  int changes = 0;
  std::error_code ec = Run(
      "INSERT INTO messages(spool_name, received, direction, envelope_sender, from_header, "
      "subject, message_id, size, state, sort_key) "
      "VALUES (?1,?2,?3,?4,?5,?6,?7,?8,'waiting',?9) ON CONFLICT(spool_name) DO NOTHING",
      [&](Use& u) {
        u.Bind(1, m.spool_name).Bind(2, Seconds(m.received)).Bind(3, DirectionName(m.direction));
        u.Bind(4, m.envelope_sender).Bind(5, m.from).Bind(6, m.subject).Bind(7, m.message_id);
        u.Bind(8, m.size).Bind(9, key);
      },
      &changes);
  if (ec || changes == 0) return ec;
  const int64_t id = sqlite3_last_insert_rowid(db_);
  for (const NewRecipient& r : m.recipients) {
    ec =
        Run("INSERT INTO recipients(message, address, kind, state, sort_key) VALUES "
            "(?1,?2,?3,?4,(SELECT sort_key FROM messages WHERE id = ?1)) "
            "ON CONFLICT(message, address) DO NOTHING",
            [&](Use& u) {
              u.Bind(1, id).Bind(2, r.address).Bind(3, RecipientKindName(r.kind));
              u.Bind(4, RecipientStateName(r.state));
            });
    if (ec) return ec;
  }
  return {};
}

std::error_code SqliteJournal::Apply(const Try& t, WriteResult* result) {
  int64_t message = 0;
  if (std::error_code ec = MessageRow(t.spool_name, &message); ec || message == 0) {
    if (!ec) ++result->skipped;
    return ec;
  }
  int64_t recipient = 0;
  std::error_code ec = Query(
      "INSERT INTO recipients(message, address, kind, state, tries, last_try, answer, provider, "
      "sent_number, parts, text, sort_key) VALUES (?1,?2,?3,?4,1,?5,?6,?7,?8,?9,?10,"
      "(SELECT sort_key FROM messages WHERE id = ?1)) "
      "ON CONFLICT(message, address) DO UPDATE SET kind = excluded.kind, state = excluded.state, "
      "tries = tries + 1, "
      "last_try = excluded.last_try, answer = excluded.answer, provider = excluded.provider, "
      "sent_number = iif(excluded.sent_number <> '', excluded.sent_number, sent_number), "
      "parts = excluded.parts, text = iif(excluded.text <> '', excluded.text, text) RETURNING id",
      [&](Use& u) {
        u.Bind(1, message).Bind(2, t.address).Bind(3, RecipientKindName(t.kind));
        u.Bind(4, RecipientStateName(t.state)).Bind(5, Seconds(t.time)).Bind(6, t.answer);
        u.Bind(7, t.provider).Bind(8, t.sent_number).Bind(9, int64_t{t.parts}).Bind(10, t.text);
      },
      [&](const Use& row) { recipient = row.Int(0); });
  if (ec) return ec;
  if (!t.provider_ids.empty()) {
    ec = Run("DELETE FROM provider_ids WHERE recipient = ?", [&](Use& u) { u.Bind(1, recipient); });
    for (const std::string& id : t.provider_ids) {
      if (ec) return ec;
      auto as_signed = [](std::optional<uint64_t> v) -> std::optional<int64_t> {
        if (!v) return std::nullopt;
        return std::bit_cast<int64_t>(*v);
      };
      ec = Run("INSERT INTO provider_ids(recipient, id_text, as_decimal, as_hex) VALUES (?,?,?,?)",
               [&](Use& u) {
                 u.Bind(1, recipient).Bind(2, id).Bind(3, as_signed(ProviderIdDecimal(id)));
                 u.Bind(4, as_signed(ProviderIdHex(id)));
               });
    }
    if (ec) return ec;
  }
  return AddEvent(message, recipient, t.time, "try", t.state, t.answer);
}

std::error_code SqliteJournal::Apply(const StateChange& c, WriteResult* result) {
  int64_t message = 0;
  if (std::error_code ec = MessageRow(c.spool_name, &message); ec || message == 0) {
    if (!ec) ++result->skipped;
    return ec;
  }
  std::vector<int64_t> changed;
  auto collect = [&](const Use& row) { changed.push_back(row.Int(0)); };
  std::error_code ec =
      c.address.empty()
          ? Query(
                "UPDATE recipients SET state = ?2 WHERE message = ?1 AND state IN "
                "('queued', 'failed') RETURNING id",
                [&](Use& u) { u.Bind(1, message).Bind(2, RecipientStateName(c.state)); }, collect)
          : Query(
                "UPDATE recipients SET state = ?2 WHERE message = ?1 AND address = ?3 "
                "RETURNING id",
                [&](Use& u) {
                  u.Bind(1, message).Bind(2, RecipientStateName(c.state)).Bind(3, c.address);
                },
                collect);
  if (ec) return ec;
  if (changed.empty()) ++result->skipped;
  for (int64_t recipient : changed) {
    if ((ec = AddEvent(message, recipient, c.time, "action", c.state, c.text))) return ec;
  }
  return {};
}

std::error_code SqliteJournal::FindReceiptRecipient(const Receipt& r, int64_t* recipient,
                                                    ReceiptMatch* match) {
  auto take = [&](const Use& row) {
    *recipient = row.Int(0);
    match->found = true;
    match->address = row.Text(1);
    match->spool_name = row.Text(2);
  };
  auto bind_text = [&](Use& u) { u.Bind(1, r.provider_id).Bind(2, r.provider); };
  std::error_code ec = Query(
      "SELECT r.id, r.address, m.spool_name FROM provider_ids p "
      "JOIN recipients r ON r.id = p.recipient JOIN messages m ON m.id = r.message "
      "WHERE p.id_text = ?1 AND (?2 = '' OR r.provider = ?2) ORDER BY p.rowid DESC LIMIT 1",
      bind_text, take);
  if (ec || match->found) return ec;
  const std::optional<uint64_t> decimal = ProviderIdDecimal(r.provider_id);
  const std::optional<uint64_t> hex = ProviderIdHex(r.provider_id);
  if (!decimal && !hex) return {};
  auto as_signed = [](std::optional<uint64_t> v) -> std::optional<int64_t> {
    if (!v) return std::nullopt;
    return std::bit_cast<int64_t>(*v);
  };
  return Query(
      "SELECT r.id, r.address, m.spool_name FROM provider_ids p "
      "JOIN recipients r ON r.id = p.recipient JOIN messages m ON m.id = r.message "
      "WHERE (p.as_decimal = ?1 OR p.as_hex = ?1 OR p.as_decimal = ?2 OR p.as_hex = ?2) "
      "AND (?3 = '' OR r.provider = ?3) ORDER BY p.rowid DESC LIMIT 1",
      [&](Use& u) { u.Bind(1, as_signed(decimal)).Bind(2, as_signed(hex)).Bind(3, r.provider); },
      take);
}

std::error_code SqliteJournal::Apply(const Receipt& r, WriteResult* result) {
  ReceiptMatch match;
  int64_t recipient = 0;
  std::error_code ec = FindReceiptRecipient(r, &recipient, &match);
  if (ec) return ec;
  result->receipts.push_back(match);
  if (!match.found) return {};
  int64_t message = 0;
  ec = Query(
      "UPDATE recipients SET state = ?2, receipt_state = ?2, receipt_time = ?3 WHERE id = ?1 "
      "RETURNING message",
      [&](Use& u) {
        u.Bind(1, recipient).Bind(2, RecipientStateName(r.state)).Bind(3, Seconds(r.time));
      },
      [&](const Use& row) { message = row.Int(0); });
  if (ec) return ec;
  return AddEvent(message, recipient, r.time, "receipt", r.state, r.text);
}

std::error_code SqliteJournal::Apply(const MessageEnd& e, WriteResult* result) {
  int changes = 0;
  std::error_code ec = Run(
      "UPDATE messages SET state = 'ended', ended = ?2 WHERE spool_name = ?1 AND ended IS NULL",
      [&](Use& u) { u.Bind(1, e.spool_name).Bind(2, Seconds(e.time)); }, &changes);
  if (!ec && changes == 0) ++result->skipped;
  return ec;
}

std::error_code SqliteJournal::Reconcile(const std::vector<std::string>& present, TimePoint now,
                                         int* ended) {
  *ended = 0;
  if (std::error_code ec = Refuse(true)) return Finish(ec);
  const std::unordered_set<std::string> names(present.begin(), present.end());
  return Finish(InTransaction([&]() -> std::error_code {
    std::vector<int64_t> gone;
    std::error_code ec = Query(
        "SELECT id, spool_name FROM messages WHERE ended IS NULL", [](Use&) {},
        [&](const Use& row) {
          if (!names.contains(row.Text(1))) gone.push_back(row.Int(0));
        });
    for (int64_t id : gone) {
      if (ec) return ec;
      ec = Run("UPDATE messages SET state = 'unknown', ended = ?2 WHERE id = ?1",
               [&](Use& u) { u.Bind(1, id).Bind(2, Seconds(now)); });
    }
    if (!ec) *ended = static_cast<int>(gone.size());
    return ec;
  }));
}

std::error_code SqliteJournal::RemoveOlderThan(TimePoint cutoff, int* removed) {
  *removed = 0;
  if (std::error_code ec = Refuse(true)) return Finish(ec);
  const int64_t before = Seconds(cutoff);
  auto bind = [&](Use& u) { u.Bind(1, before); };
  // The messages' own rows go last: the others find theirs through them.
  static constexpr const char* kOld =
      "SELECT id FROM messages WHERE received < ?1 AND ended IS NOT NULL";
  const std::string steps[] = {
      // The text index entry goes first, while its words can still be read.
      "INSERT INTO message_words(message_words, rowid, words) SELECT 'delete', sort_key, words "
      "FROM message_text WHERE sort_key IN (SELECT sort_key FROM messages WHERE received < ?1 "
      "AND ended IS NOT NULL)",
      std::string("DELETE FROM provider_ids WHERE recipient IN (SELECT id FROM recipients WHERE "
                  "message IN (") +
          kOld + "))",
      std::string("DELETE FROM events WHERE message IN (") + kOld + ")",
      std::string("DELETE FROM recipients WHERE message IN (") + kOld + ")",
      "DELETE FROM messages WHERE received < ?1 AND ended IS NOT NULL",
  };
  return Finish(InTransaction([&]() -> std::error_code {
    for (const std::string& sql : steps) {
      if (std::error_code ec = Run(sql, bind, removed)) return ec;
    }
    return {};
  }));
}

// ---- Reading -----------------------------------------------------------------------------------

JournalMessage SqliteJournal::ReadMessage(const Use& row, int64_t* id) {
  *id = row.Int(0);
  JournalMessage m;
  m.spool_name = row.Text(1);
  m.received = FromSeconds(row.Int(2));
  m.direction = row.Text(3) == "in" ? Direction::kInbound : Direction::kOutbound;
  if (!row.IsNull(4)) m.envelope_sender = row.Text(4);
  m.from = row.Text(5);
  m.subject = row.Text(6);
  m.message_id = row.Text(7);
  m.size = row.Int(8);
  m.state = ParseMessageState(row.Text(9));
  m.ended = row.Time(10);
  return m;
}

std::error_code SqliteJournal::ProviderIds(int64_t recipient, std::vector<std::string>* ids) {
  return Query(
      "SELECT id_text FROM provider_ids WHERE recipient = ? ORDER BY rowid",
      [&](Use& u) { u.Bind(1, recipient); }, [&](const Use& row) { ids->push_back(row.Text(0)); });
}

// Reads the recipient columns (kRecipientColumns) starting at `first`.
JournalRecipient ReadRecipient(const Use& row, int first, int64_t* id) {
  *id = row.Int(first);
  JournalRecipient r;
  r.address = row.Text(first + 1);
  r.sent_number = row.Text(first + 2);
  r.kind = ParseKind(row.Text(first + 3));
  r.state = ParseRecipientState(row.Text(first + 4)).value_or(RecipientState::kQueued);
  r.tries = static_cast<int>(row.Int(first + 5));
  r.last_try = row.Time(first + 6);
  r.answer = row.Text(first + 7);
  r.provider = row.Text(first + 8);
  r.parts = static_cast<int>(row.Int(first + 9));
  if (!row.IsNull(first + 10)) r.receipt_state = ParseRecipientState(row.Text(first + 10));
  r.receipt_time = row.Time(first + 11);
  r.text = row.Text(first + 12);
  return r;
}

std::error_code SqliteJournal::ReadRecipients(int64_t message, JournalMessage* m) {
  std::vector<int64_t> ids;
  std::error_code ec = Query(
      std::string("SELECT ") + kRecipientColumns + " FROM recipients r WHERE r.message = ? " +
          "ORDER BY r.id",
      [&](Use& u) { u.Bind(1, message); },
      [&](const Use& row) {
        ids.emplace_back();
        m->recipients.push_back(ReadRecipient(row, 0, &ids.back()));
      });
  for (size_t i = 0; i < ids.size() && !ec; ++i) {
    ec = ProviderIds(ids[i], &m->recipients[i].provider_ids);
  }
  return ec;
}

// A cursor is "<second>.<order>": the sort_key of the last message of a page, in two parts.
std::optional<int64_t> ParseCursor(std::string_view cursor) {
  auto whole = [](std::string_view s, int64_t limit) -> std::optional<int64_t> {
    if (s.empty() || s.size() > 18) return std::nullopt;
    int64_t v = 0;
    for (char c : s) {
      if (c < '0' || c > '9') return std::nullopt;
      v = v * 10 + (c - '0');
    }
    return v < limit ? std::optional<int64_t>(v) : std::nullopt;
  };
  const size_t dot = cursor.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  auto second = whole(cursor.substr(0, dot), int64_t{1} << (62 - kOrderBits));
  auto order = whole(cursor.substr(dot + 1), int64_t{1} << kOrderBits);
  if (!second || !order) return std::nullopt;
  return (*second << kOrderBits) | *order;
}

std::string Cursor(int64_t sort_key) {
  return std::to_string(sort_key >> kOrderBits) + "." +
         std::to_string(sort_key & ((int64_t{1} << kOrderBits) - 1));
}

// The candidates of a search, newest first: each driver walks one index over [:lo, :hi) of
// sort_key and gives (message id, sort_key[, recipient id]). A number is found as written or
// as sent, two indexes merged in order.
constexpr char kNumberWalk[] =
    "SELECT message, sort_key, id FROM recipients WHERE address = :number AND sort_key >= :lo "
    "AND sort_key < :hi UNION ALL SELECT message, sort_key, id FROM recipients "
    "WHERE sent_number = :number AND address <> :number AND sort_key >= :lo AND sort_key < :hi "
    "ORDER BY 2 DESC";
constexpr char kSenderWalk[] =
    "SELECT id, sort_key FROM messages INDEXED BY messages_by_sender "
    "WHERE envelope_sender = :sender COLLATE NOCASE AND sort_key >= :lo AND sort_key < :hi "
    "ORDER BY sort_key DESC";
constexpr char kStateWalk[] =
    "SELECT message, sort_key FROM recipients INDEXED BY recipients_by_state "
    "WHERE state = :state AND sort_key >= :lo AND sort_key < :hi ORDER BY sort_key DESC";
constexpr char kTextWalk[] =
    "SELECT m.id, f.rowid FROM message_words f CROSS JOIN messages m ON m.sort_key = f.rowid "
    "WHERE message_words MATCH :text AND f.rowid >= :lo AND f.rowid < :hi "
    "ORDER BY f.rowid DESC";
constexpr char kNewestWalk[] =
    "SELECT id, sort_key FROM messages INDEXED BY messages_by_key "
    "WHERE sort_key >= :lo AND sort_key < :hi ORDER BY sort_key DESC";

// Whether one candidate (:id, :key) meets a filter that did not drive the walk.
constexpr char kNumberCheck[] =
    "SELECT 1 FROM recipients WHERE message = :id AND (address = :number OR "
    "sent_number = :number)";
constexpr char kSenderCheck[] =
    "SELECT 1 FROM messages WHERE id = :id AND envelope_sender = :sender COLLATE NOCASE";
constexpr char kStateCheck[] = "SELECT 1 FROM recipients WHERE message = :id AND state = :state";
constexpr char kTextCheck[] =
    "SELECT 1 FROM message_words WHERE message_words MATCH :text AND rowid = :key";
constexpr char kShortTextCheck[] =
    "SELECT 1 FROM message_text WHERE sort_key = :key AND words LIKE :text ESCAPE '\\'";

std::error_code SqliteJournal::FindMessages(const MessageQuery& q, MessagePage* page) {
  *page = {};
  if (std::error_code ec = Refuse(false)) return Finish(ec);
  if (q.limit < 1 || q.limit > kMaxPage) return Finish(JournalError::kBadRequest);
  int64_t lo = std::numeric_limits<int64_t>::min(), hi = std::numeric_limits<int64_t>::max();
  if (!q.after.empty()) {
    std::optional<int64_t> after = ParseCursor(q.after);
    if (!after) return Finish(JournalError::kBadRequest);
    hi = *after;
  }
  if (q.since) lo = std::max(lo, Seconds(*q.since) << kOrderBits);
  if (q.before) hi = std::min(hi, Seconds(*q.before) << kOrderBits);

  // The trigram index needs three characters; a shorter text is looked for in `words` itself.
  const bool indexed_text = Characters(q.text) >= 3;
  const std::string text = indexed_text ? Phrase(q.text) : Contains(q.text);
  const std::string state = q.state ? std::string(RecipientStateName(*q.state)) : "";
  auto bind = [&](Use& u) {
    u.BindNamed(":number", q.number).BindNamed(":sender", q.sender);
    u.BindNamed(":state", state).BindNamed(":text", text);
  };
  // The most selective filter as a rule drives; the others are checked on each candidate.
  const char* walk = kNewestWalk;
  std::vector<const char*> checks;
  auto filter = [&](bool set, const char* its_walk, const char* its_check) {
    if (!set) return;
    if (walk == kNewestWalk && its_walk) {
      walk = its_walk;
    } else {
      checks.push_back(its_check);
    }
  };
  filter(!q.number.empty(), kNumberWalk, kNumberCheck);
  filter(!q.sender.empty(), kSenderWalk, kSenderCheck);
  filter(!q.text.empty() && indexed_text, kTextWalk, kTextCheck);
  filter(q.state.has_value(), kStateWalk, kStateCheck);
  filter(!q.text.empty() && !indexed_text, nullptr, kShortTextCheck);

  std::vector<std::pair<int64_t, int64_t>> found;  // message id, sort_key
  std::error_code ec;
  auto passes = [&](int64_t id, int64_t key) {
    for (const char* check : checks) {
      bool hit = false;
      ec = Query(
          check,
          [&](Use& u) {
            bind(u);
            u.BindNamed(":id", id).BindNamed(":key", key);
          },
          [&](const Use&) { hit = true; });
      if (ec || !hit) return false;
    }
    return true;
  };
  ec = Walk(
      walk,
      [&](Use& u) {
        bind(u);
        u.BindNamed(":lo", lo).BindNamed(":hi", hi);
      },
      [&](const Use& row) {
        const int64_t id = row.Int(0), key = row.Int(1);
        if (!found.empty() && found.back().first == id) return true;  // a second recipient
        if (passes(id, key)) found.emplace_back(id, key);
        return !ec && static_cast<int>(found.size()) <= q.limit;
      });
  if (!ec && static_cast<int>(found.size()) > q.limit) {
    found.pop_back();
    page->next_cursor = Cursor(found.back().second);
  }
  for (size_t i = 0; i < found.size() && !ec; ++i) {
    int64_t id = 0;
    ec = Query(
        std::string("SELECT ") + kMessageColumns + " FROM messages m WHERE m.id = ?",
        [&](Use& u) { u.Bind(1, found[i].first); },
        [&](const Use& row) { page->messages.push_back(ReadMessage(row, &id)); });
    if (!ec && id != 0) ec = ReadRecipients(id, &page->messages.back());
  }
  if (ec) *page = {};
  return Finish(ec);
}

std::error_code SqliteJournal::Timeline(const std::string& spool_name, JournalMessage* message) {
  *message = {};
  if (std::error_code ec = Refuse(false)) return Finish(ec);
  int64_t id = 0;
  std::error_code ec = Query(
      std::string("SELECT ") + kMessageColumns + " FROM messages m WHERE m.spool_name = ?",
      [&](Use& u) { u.Bind(1, spool_name); },
      [&](const Use& row) { *message = ReadMessage(row, &id); });
  if (!ec && id == 0) ec = JournalError::kNotFound;
  if (!ec) ec = ReadRecipients(id, message);
  if (!ec) {
    ec = Query(
        "SELECT e.time, coalesce(r.address, ''), e.kind, e.state, e.text FROM events e "
        "LEFT JOIN recipients r ON r.id = e.recipient WHERE e.message = ? ORDER BY e.id",
        [&](Use& u) { u.Bind(1, id); },
        [&](const Use& row) {
          message->events.push_back(
              {FromSeconds(row.Int(0)), row.Text(1), row.Text(2),
               ParseRecipientState(row.Text(3)).value_or(RecipientState::kQueued), row.Text(4)});
        });
  }
  if (ec) *message = {};
  return Finish(ec);
}

std::error_code SqliteJournal::NumberLog(const std::string& number, int limit,
                                         std::vector<JournalMessage>* messages) {
  messages->clear();
  if (std::error_code ec = Refuse(false)) return Finish(ec);
  if (limit < 1 || limit > kMaxPage) return Finish(JournalError::kBadRequest);
  std::vector<std::pair<int64_t, int64_t>> rows;  // message, recipient
  std::error_code ec = Walk(
      kNumberWalk,
      [&](Use& u) {
        u.BindNamed(":number", number);
        u.BindNamed(":lo", std::numeric_limits<int64_t>::min());
        u.BindNamed(":hi", std::numeric_limits<int64_t>::max());
      },
      [&](const Use& row) {
        rows.emplace_back(row.Int(0), row.Int(2));
        return static_cast<int>(rows.size()) < limit;
      });
  for (size_t i = 0; i < rows.size() && !ec; ++i) {
    int64_t id = 0;
    if (i == 0 || rows[i - 1].first != rows[i].first) {
      ec = Query(
          std::string("SELECT ") + kMessageColumns + " FROM messages m WHERE m.id = ?",
          [&](Use& u) { u.Bind(1, rows[i].first); },
          [&](const Use& row) { messages->push_back(ReadMessage(row, &id)); });
    }
    if (ec || messages->empty()) continue;
    ec = Query(
        std::string("SELECT ") + kRecipientColumns + " FROM recipients r WHERE r.id = ?",
        [&](Use& u) { u.Bind(1, rows[i].second); },
        [&](const Use& row) { messages->back().recipients.push_back(ReadRecipient(row, 0, &id)); });
    if (!ec && !messages->back().recipients.empty()) {
      ec = ProviderIds(rows[i].second, &messages->back().recipients.back().provider_ids);
    }
  }
  if (ec) messages->clear();
  return Finish(ec);
}

std::error_code SqliteJournal::Waiting(int limit, std::vector<JournalMessage>* messages) {
  messages->clear();
  if (std::error_code ec = Refuse(false)) return Finish(ec);
  if (limit < 1) return Finish(JournalError::kBadRequest);
  std::vector<int64_t> ids;
  std::error_code ec = Query(
      std::string("SELECT ") + kMessageColumns +
          " FROM messages m WHERE m.ended IS NULL ORDER BY m.sort_key LIMIT ?",
      [&](Use& u) { u.Bind(1, int64_t{limit}); },
      [&](const Use& row) {
        ids.emplace_back();
        messages->push_back(ReadMessage(row, &ids.back()));
      });
  for (size_t i = 0; i < ids.size() && !ec; ++i) ec = ReadRecipients(ids[i], &(*messages)[i]);
  if (ec) messages->clear();
  return Finish(ec);
}

}  // namespace

std::unique_ptr<Journal> OpenJournal(const std::string& path, JournalMode mode) {
  return std::make_unique<SqliteJournal>(path, mode);
}

}  // namespace mailvane
