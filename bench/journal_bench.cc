// The journal at scale: fills a journal with N messages (default 1,000,000) of one SMS recipient
// and a 160-character text each, as the handler writes them (a pass of 10,000 messages per
// batch: the message, the try, the receipt, the end), then reports the bytes per message and the
// time of searches by number, sender, text, state and time range through a read-only journal.
//
//   journal_bench [MESSAGES]      (MAILVANE_BENCH_DIR: where the journal is made; default the
//                                  system's temporary folder; MAILVANE_BENCH_KEEP: keep it)
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/journal/journal.h"

namespace mailvane {
namespace {

constexpr int kPerBatch = 10'000;
constexpr int kNumbers = 20'000;  // distinct recipients: 50 messages each in a million
constexpr int kSenders = 200;
constexpr int kQueriesPerKind = 40;
const TimePoint kStart = TimePoint(std::chrono::seconds(1'800'000'000));

const char* const kWords[] = {"disk",    "backup", "failed",  "server", "alarm",  "door",
                              "opened",  "stock",  "level",   "below",  "pump",   "restart",
                              "temp",    "high",   "cleared", "ticket", "queue",  "printer",
                              "offline", "power",  "battery", "low",    "update", "done"};

std::string Number(int i) { return "4917" + std::to_string(10'000'000 + i % kNumbers); }
std::string Sender(int i) { return "app" + std::to_string(i % kSenders) + "@example.com"; }

// 160 characters: words of the small vocabulary and a token of this message ("ref 123456").
std::string Text(int i, std::mt19937& random) {
  std::string text = "ref " + std::to_string(100'000 + i) + ":";
  while (text.size() < 160) {
    text += ' ';
    text += kWords[random() % std::size(kWords)];
  }
  text.resize(160);
  return text;
}

void Check(std::error_code ec, Journal& journal, const char* what) {
  if (!ec) return;
  std::fprintf(stderr, "%s: %s (%s)\n", what, ec.message().c_str(), journal.ErrorText().c_str());
  std::exit(1);
}

void Fill(Journal& journal, int messages) {
  std::mt19937 random(7);
  JournalBatch batch;
  WriteResult result;
  for (int i = 0; i < messages; ++i) {
    const std::string name = "2026" + std::to_string(1'000'000 + i) + ".msg";
    const TimePoint received = kStart + std::chrono::seconds(i * 3);  // a month per million
    NewMessage m;
    m.spool_name = name;
    m.received = received;
    m.envelope_sender = Sender(i);
    m.from = "Application " + std::to_string(i % kSenders) + " <" + Sender(i) + ">";
    m.subject = std::string("Alert ") + kWords[i % std::size(kWords)];
    m.message_id = "<" + std::to_string(i) + ".bench@example.com>";
    m.size = 900;
    m.recipients.push_back({Number(i), RecipientKind::kSms, RecipientState::kQueued});
    batch.Add(std::move(m));
    Try t;
    t.spool_name = name;
    t.address = Number(i);
    t.time = received + std::chrono::seconds(1);
    const bool failed = i % 50 == 0;  // 2% failed and still waiting
    t.state = failed ? RecipientState::kFailed : RecipientState::kSent;
    t.answer = failed ? "0x00000058 throttled" : "accepted";
    t.provider = "smsc";
    t.sent_number = "+" + Number(i);
    char id[32];
    std::snprintf(id, sizeof id, "%X", 0x10000000 + i);
    if (!failed) t.provider_ids = {id};
    t.parts = 1;
    t.text = Text(i, random);
    batch.Add(std::move(t));
    if (!failed) {
      Receipt r;
      r.provider_id = std::to_string(0x10000000 + i);  // the decimal form of the hex id
      r.provider = "smsc";
      r.time = received + std::chrono::seconds(5);
      r.state = i % 20 == 1 ? RecipientState::kUndelivered : RecipientState::kDelivered;
      r.text = "stat:DELIVRD err:000";
      batch.Add(std::move(r));
      batch.Add(MessageEnd{name, received + std::chrono::seconds(5)});
    }
    if (batch.size() >= 4 * kPerBatch || i + 1 == messages) {
      Check(journal.Write(batch, &result), journal, "write");
      for (const ReceiptMatch& match : result.receipts) {
        if (!match.found) {
          std::fprintf(stderr, "a receipt found no recipient\n");
          std::exit(1);
        }
      }
      batch.clear();
    }
  }
}

struct Figures {
  double p50_ms;
  double p95_ms;
  size_t rows;
};

Figures Measure(Journal& journal, const std::function<MessageQuery(int)>& query) {
  std::vector<double> ms;
  size_t rows = 0;
  for (int q = 0; q < kQueriesPerKind; ++q) {
    MessageQuery mq = query(q);
    MessagePage page;
    auto start = std::chrono::steady_clock::now();
    Check(journal.FindMessages(mq, &page), journal, "search");
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count());
    rows += page.messages.size();
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[(ms.size() * 95 + 99) / 100 - 1], rows / ms.size()};
}

int Run(int messages) {
  const char* base = std::getenv("MAILVANE_BENCH_DIR");
  std::string pattern = std::string(base ? base : std::filesystem::temp_directory_path().c_str()) +
                        "/mailvane-journal-XXXXXX";
  const std::string dir = mkdtemp(pattern.data());
  const std::string path = dir + "/" + kJournalFileName;

  auto start = std::chrono::steady_clock::now();
  {
    auto writer = OpenJournal(path, JournalMode::kWrite);
    Check(writer->error(), *writer, "open");
    Fill(*writer, messages);
  }  // closing the last connection folds the write-ahead log into the file
  const double fill_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto bytes = std::filesystem::file_size(path);
  std::printf("messages %d, fill %.1f s (%.0f messages/s), file %.1f MiB, %.0f bytes/message\n",
              messages, fill_s, messages / fill_s, bytes / 1048576.0,
              static_cast<double>(bytes) / messages);

  auto reader = OpenJournal(path, JournalMode::kRead);
  Check(reader->error(), *reader, "open read-only");
  std::mt19937 random(11);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  struct Kind {
    const char* name;
    std::function<MessageQuery(int)> query;
  } kinds[] = {
      {"newest page", [&](int) { return MessageQuery(); }},
      {"number",
       [&](int) {
         MessageQuery q;
         q.number = Number(pick(kNumbers));
         return q;
       }},
      {"sender",
       [&](int) {
         MessageQuery q;
         q.sender = Sender(pick(kSenders));
         return q;
       }},
      {"text, rare (one message)",
       [&](int) {
         MessageQuery q;
         q.text = "ref " + std::to_string(100'000 + pick(messages));
         return q;
       }},
      {"text, common word",
       [&](int) {
         MessageQuery q;
         q.text = kWords[pick(std::size(kWords))];
         return q;
       }},
      {"text, two words",
       [&](int) {
         MessageQuery q;
         q.text =
             std::string(kWords[pick(std::size(kWords))]) + " " + kWords[pick(std::size(kWords))];
         return q;
       }},
      {"state failed (2%)",
       [&](int) {
         MessageQuery q;
         q.state = RecipientState::kFailed;
         return q;
       }},
      {"state undelivered (5%)",
       [&](int) {
         MessageQuery q;
         q.state = RecipientState::kUndelivered;
         return q;
       }},
      {"time range (one day)",
       [&](int) {
         MessageQuery q;
         q.since = kStart + std::chrono::seconds(pick(messages) * 3);
         q.before = *q.since + std::chrono::hours(24);
         return q;
       }},
      {"number + time range",
       [&](int) {
         MessageQuery q;
         q.number = Number(pick(kNumbers));
         q.since = kStart + std::chrono::seconds(pick(messages) * 3);
         q.before = *q.since + std::chrono::hours(24 * 7);
         return q;
       }},
      {"page 20 of newest",
       [&](int) {
         MessageQuery q;
         MessagePage page;
         for (int i = 0; i < 19; ++i) {
           Check(reader->FindMessages(q, &page), *reader, "page");
           q.after = page.next_cursor;
         }
         return q;
       }},
  };
  std::printf("%-26s %9s %9s %6s  (%d searches each, 50 per page)\n", "search", "p50 ms", "p95 ms",
              "rows", kQueriesPerKind);
  for (const Kind& kind : kinds) {
    Figures f = Measure(*reader, kind.query);
    std::printf("%-26s %9.2f %9.2f %6zu\n", kind.name, f.p50_ms, f.p95_ms, f.rows);
  }
  if (std::getenv("MAILVANE_BENCH_KEEP")) {
    std::printf("kept %s\n", path.c_str());
  } else {
    std::filesystem::remove_all(dir);
  }
  return 0;
}

}  // namespace
}  // namespace mailvane

int main(int argc, char** argv) {
  int messages = argc > 1 ? std::atoi(argv[1]) : 1'000'000;
  if (messages < 1000) {
    std::fprintf(stderr, "usage: journal_bench [MESSAGES >= 1000]\n");
    return 2;
  }
  return mailvane::Run(messages);
}
