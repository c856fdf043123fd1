// The messages API of the console, for its pages and for mailvanectl. Every route needs a
// signed-in session, and a POST its CSRF token:
//   GET  /api/messages               filters number, sender, text, state, since, before (seconds
//                                    since 1970), cursor, limit (1..500, default 50):
//                                    {"messages": [message with recipients], "next": cursor or ""}
//   GET  /api/messages/<name>        {"message": message with recipients and "events"}
//   POST /api/messages/<name>/retry  body empty or {"recipient": address}: {"posted": true}
//   POST /api/messages/<name>/cancel the same
// Errors are {"error": text}: 400 a malformed filter, 404 no such message or recipient, 409 an
// action on an ended message, 503 the journal unavailable or the handler not reachable. The
// journal is opened read-only at the first request, and again at the next request after any
// failure of it, so a journal made or mended later is found. Loop thread only.
#ifndef MAILVANE_SERVER_MESSAGES_API_H_
#define MAILVANE_SERVER_MESSAGES_API_H_

#include <functional>
#include <memory>
#include <string>

#include "platform/console/console_server.h"
#include "platform/journal/journal.h"

namespace mailvane {

// The handler's one-way posts. recipient empty: every recipient of the message still open.
// Each returns whether the post went out (false: no handler connected).
class MessageActions {
 public:
  virtual ~MessageActions() = default;
  virtual bool Retry(const std::string& spool_name, const std::string& recipient) = 0;
  virtual bool Cancel(const std::string& spool_name, const std::string& recipient) = 0;
};

struct MessagesApiEnvironment {
  ConsoleServer& server;
  std::string journal_path;  // LogDir & kJournalFileName
  MessageActions& actions;
  std::function<void(const std::string&)> activity;  // the activity list, for each action
  std::function<std::unique_ptr<Journal>(const std::string&)> open_journal =
      [](const std::string& path) { return OpenJournal(path, JournalMode::kRead); };
};

class MessagesApi {
 public:
  // Registers the routes; the server and the actions must outlive the API.
  explicit MessagesApi(MessagesApiEnvironment environment);
  MessagesApi(const MessagesApi&) = delete;
  MessagesApi& operator=(const MessagesApi&) = delete;

 private:
  ConsoleResponse Search(const ConsoleRequest& request);
  ConsoleResponse Show(const ConsoleRequest& request);
  ConsoleResponse Act(const ConsoleRequest& request);
  // The journal, opened when it is not; nullptr with *refusal set when it cannot be had.
  Journal* Ready(ConsoleResponse* refusal);
  // The answer to a failed journal call; a failure of the journal itself closes it.
  ConsoleResponse Failed(std::error_code ec);

  MessagesApiEnvironment env_;
  std::unique_ptr<Journal> journal_;
};

}  // namespace mailvane

#endif  // MAILVANE_SERVER_MESSAGES_API_H_
