// Writes a journal at argv[1] through the journal layer, as the handler would: "wait.msg"
// waiting (4911 failed, 4912 queued), "done.msg" ended (4911 delivered). Received times are now
// minus a few minutes, so that `queue` shows an age.
#include <chrono>
#include <cstdio>

#include "platform/journal/journal.h"

int main(int argc, char** argv) {
  using namespace mailvane;
  if (argc != 2) return 2;
  const TimePoint now =
      std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
  auto journal = OpenJournal(argv[1], JournalMode::kWrite);
  JournalBatch batch;
  for (auto [name, minutes] : {std::pair{"done.msg", 9}, {"wait.msg", 5}}) {
    NewMessage m;
    m.spool_name = name;
    m.received = now - std::chrono::minutes(minutes);
    m.envelope_sender = "app@example.com";
    m.subject = "Alert";
    m.recipients = {{"4911", RecipientKind::kSms, RecipientState::kQueued}};
    if (minutes == 5)
      m.recipients.push_back({"4912", RecipientKind::kSms, RecipientState::kQueued});
    batch.Add(std::move(m));
    Try t;
    t.spool_name = name;
    t.address = "4911";
    t.time = now - std::chrono::minutes(minutes - 1);
    t.state = minutes == 5 ? RecipientState::kFailed : RecipientState::kSent;
    t.answer = minutes == 5 ? "throttled" : "accepted";
    t.text = std::string("disk full ") + name;
    if (minutes == 9) t.provider_ids = {"A1"};
    batch.Add(std::move(t));
  }
  batch.Add(Receipt{"A1", "", now, RecipientState::kDelivered, "stat:DELIVRD"});
  batch.Add(MessageEnd{"done.msg", now});
  if (std::error_code ec = journal->Write(batch, nullptr)) {
    std::fprintf(stderr, "%s: %s\n", ec.message().c_str(), journal->ErrorText().c_str());
    return 1;
  }
  return 0;
}
