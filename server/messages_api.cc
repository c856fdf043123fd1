#include "server/messages_api.h"

#include <boost/json.hpp>
#include <chrono>

#include "server/console_json.h"

namespace mailvane {
namespace json = boost::json;
namespace {

constexpr char kPrefix[] = "/api/messages/";

json::value Seconds(std::optional<TimePoint> t) {
  if (!t) return nullptr;
  return std::chrono::duration_cast<std::chrono::seconds>(t->time_since_epoch()).count();
}

json::object RecipientJson(const JournalRecipient& r) {
  json::array ids;
  for (const std::string& id : r.provider_ids) ids.emplace_back(id);
  return {{"address", r.address},
          {"sentNumber", r.sent_number},
          {"kind", RecipientKindName(r.kind)},
          {"state", RecipientStateName(r.state)},
          {"tries", r.tries},
          {"lastTry", Seconds(r.last_try)},
          {"answer", r.answer},
          {"provider", r.provider},
          {"providerIds", std::move(ids)},
          {"parts", r.parts},
          {"receiptState", r.receipt_state ? json::value(RecipientStateName(*r.receipt_state))
                                           : json::value(nullptr)},
          {"receiptTime", Seconds(r.receipt_time)},
          {"text", r.text}};
}

json::object MessageJson(const JournalMessage& m) {
  json::array recipients;
  for (const JournalRecipient& r : m.recipients) recipients.emplace_back(RecipientJson(r));
  json::object o{{"name", m.spool_name},
                 {"received", Seconds(m.received)},
                 {"sender", m.envelope_sender ? json::value(*m.envelope_sender) : nullptr},
                 {"from", m.from},
                 {"subject", m.subject},
                 {"messageId", m.message_id},
                 {"size", m.size},
                 {"state", MessageStateText(m.state)},
                 {"ended", Seconds(m.ended)},
                 {"recipients", std::move(recipients)}};
  if (!m.events.empty()) {
    json::array events;
    for (const JournalEvent& e : m.events) {
      events.emplace_back(json::object{{"time", Seconds(e.time)},
                                       {"address", e.address},
                                       {"kind", e.kind},
                                       {"state", RecipientStateName(e.state)},
                                       {"text", e.text}});
    }
    o["events"] = std::move(events);
  }
  return o;
}

// A query value; "" when absent.
std::string Value(const ConsoleRequest& request, const std::string& name) {
  auto found = request.query.find(name);
  return found == request.query.end() ? "" : found->second;
}

// A time filter given in seconds since 1970; false when present and not a whole number.
bool TimeFilter(const ConsoleRequest& request, const std::string& name,
                std::optional<TimePoint>* time) {
  if (Value(request, name).empty()) return true;
  std::optional<uint64_t> seconds = QueryNumber(request, name);
  if (!seconds || *seconds > (uint64_t{1} << 40)) return false;
  *time = TimePoint(std::chrono::seconds(*seconds));
  return true;
}

}  // namespace

MessagesApi::MessagesApi(MessagesApiEnvironment environment) : env_(std::move(environment)) {
  env_.server.AddRoute("GET", "/api/messages",
                       [this](const ConsoleRequest& request) { return Search(request); });
  env_.server.AddRoute("GET", std::string(kPrefix) + "*",
                       [this](const ConsoleRequest& request) { return Show(request); });
  env_.server.AddRoute("POST", std::string(kPrefix) + "*",
                       [this](const ConsoleRequest& request) { return Act(request); });
}

Journal* MessagesApi::Ready(ConsoleResponse* refusal) {
  // Once open it stays until a call fails for the journal's own sake (Failed closes it); ok()
  // also turns false at a message not found.
  if (journal_) return journal_.get();
  journal_ = env_.open_journal(env_.journal_path);
  if (journal_->ok()) return journal_.get();
  *refusal = ErrorAnswer(503, "journal unavailable: " + journal_->ErrorText());
  journal_.reset();
  return nullptr;
}

ConsoleResponse MessagesApi::Failed(std::error_code ec) {
  if (ec == JournalError::kNotFound) return ErrorAnswer(404, "No such message.");
  if (ec == JournalError::kBadRequest) return ErrorAnswer(400, "Malformed cursor or limit.");
  ConsoleResponse answer = ErrorAnswer(503, "journal unavailable: " + journal_->ErrorText());
  journal_.reset();
  return answer;
}

ConsoleResponse MessagesApi::Search(const ConsoleRequest& request) {
  MessageQuery q;
  q.number = Value(request, "number");
  q.sender = Value(request, "sender");
  q.text = Value(request, "text");
  q.after = Value(request, "cursor");
  if (std::string state = Value(request, "state"); !state.empty()) {
    q.state = ParseRecipientState(state);
    if (!q.state) return ErrorAnswer(400, "Unknown state: " + state);
  }
  if (!TimeFilter(request, "since", &q.since) || !TimeFilter(request, "before", &q.before)) {
    return ErrorAnswer(400, "since and before are seconds since 1970.");
  }
  if (!Value(request, "limit").empty()) {
    std::optional<uint64_t> limit = QueryNumber(request, "limit");
    if (!limit || *limit < 1 || *limit > kMaxPage) {
      return ErrorAnswer(400, "limit is a number from 1 to " + std::to_string(kMaxPage) + ".");
    }
    q.limit = static_cast<int>(*limit);
  }
  ConsoleResponse refusal;
  Journal* journal = Ready(&refusal);
  if (!journal) return refusal;
  MessagePage page;
  if (std::error_code ec = journal->FindMessages(q, &page)) return Failed(ec);
  json::array messages;
  for (const JournalMessage& m : page.messages) messages.emplace_back(MessageJson(m));
  return JsonAnswer(json::object{{"messages", std::move(messages)}, {"next", page.next_cursor}});
}

ConsoleResponse MessagesApi::Show(const ConsoleRequest& request) {
  const std::string name = request.path.substr(std::size(kPrefix) - 1);
  if (name.empty() || name.find('/') != std::string::npos) {
    return ErrorAnswer(404, "No such resource.");
  }
  ConsoleResponse refusal;
  Journal* journal = Ready(&refusal);
  if (!journal) return refusal;
  JournalMessage m;
  if (std::error_code ec = journal->Timeline(name, &m)) return Failed(ec);
  return JsonAnswer(json::object{{"message", MessageJson(m)}});
}

ConsoleResponse MessagesApi::Act(const ConsoleRequest& request) {
  const std::string rest = request.path.substr(std::size(kPrefix) - 1);
  const size_t slash = rest.find('/');
  const std::string name = rest.substr(0, slash);
  const std::string action = slash == std::string::npos ? "" : rest.substr(slash + 1);
  if (name.empty() || (action != "retry" && action != "cancel")) {
    return ErrorAnswer(404, "No such resource.");
  }
  std::string recipient;
  if (!request.body.empty()) {
    boost::system::error_code error;
    json::value body = json::parse(request.body, error);
    const json::value* field =
        !error && body.is_object() ? body.as_object().if_contains("recipient") : nullptr;
    if (error || !body.is_object() || (field && !field->is_string())) {
      return ErrorAnswer(400, "The body is {\"recipient\": address} or empty.");
    }
    if (field) recipient = std::string(field->as_string());
  }
  ConsoleResponse refusal;
  Journal* journal = Ready(&refusal);
  if (!journal) return refusal;
  JournalMessage m;
  if (std::error_code ec = journal->Timeline(name, &m)) return Failed(ec);
  if (m.state != MessageState::kWaiting) {
    return ErrorAnswer(
        409, "Message " + name + " has ended (" + std::string(MessageStateText(m.state)) + ").");
  }
  if (!recipient.empty() &&
      std::none_of(m.recipients.begin(), m.recipients.end(),
                   [&](const JournalRecipient& r) { return r.address == recipient; })) {
    return ErrorAnswer(404, "Message " + name + " has no recipient " + recipient + ".");
  }
  const bool cancel = action == "cancel";
  const bool posted =
      cancel ? env_.actions.Cancel(name, recipient) : env_.actions.Retry(name, recipient);
  if (!posted) return ErrorAnswer(503, "The queue handler is not running; nothing was done.");
  env_.activity("Message " + name + (cancel ? " cancelled" : " retry asked") +
                (recipient.empty() ? "" : " for " + recipient) + " by the administrator");
  return JsonAnswer(json::object{{"posted", true}});
}

}  // namespace mailvane
