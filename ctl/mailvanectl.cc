// mailvanectl: the administrator's command. It reads the journal read-only for what it shows, and
// acts (retry, cancel) through the console's messages API, signed in with the console's secret,
// so only an administrator who may read the secret can act. It finds the store, LogDir, the
// console and its secret as the service does. Exit codes (also in its man page):
//   0 done; 1 no such message or recipient, or the action was refused; 2 wrong usage;
//   3 the journal or the store cannot be read; 4 the service (its console) is not running or
//   the queue handler is not; 5 signing in to the console failed.
#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/error.h"
#include "common/settings_table.h"
#include "platform/console/console_secret.h"
#include "platform/console/console_server.h"
#include "platform/files/file_system.h"
#include "platform/journal/journal.h"
#include "platform/registry/registry.h"
#include "platform/sms/http_client.h"

namespace mailvane {
namespace {

namespace json = boost::json;

enum Exit { kDone = 0, kRefused = 1, kUsage = 2, kNoJournal = 3, kNotRunning = 4, kSignIn = 5 };

constexpr int kMostShown = 10'000;  // messages of `queue` and `retry --all`
constexpr int kLogShown = 100;      // SMS of `log`

constexpr char kUsageText[] =
    "usage: mailvanectl queue\n"
    "       mailvanectl show NAME\n"
    "       mailvanectl retry NAME | --all\n"
    "       mailvanectl cancel NAME [RECIPIENT]\n"
    "       mailvanectl log NUMBER\n"
    "       mailvanectl set NAME VALUE\n"
    "       mailvanectl password < FILE\n";

int Fail(int code, const std::string& text) {
  std::fprintf(stderr, "mailvanectl: %s\n", text.c_str());
  return code;
}

std::string Time(TimePoint t) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string Age(TimePoint received) {
  const auto s =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - received)
          .count();
  if (s < 60) return std::to_string(std::max<long long>(s, 0)) + "s";
  if (s < 3600) return std::to_string(s / 60) + "m";
  if (s < 86400) return std::to_string(s / 3600) + "h";
  return std::to_string(s / 86400) + "d";
}

std::string RecipientLine(const JournalRecipient& r) {
  std::string line = "    " + r.address + "  " + std::string(RecipientStateName(r.state));
  if (r.tries > 0) line += "  tries " + std::to_string(r.tries);
  if (!r.answer.empty()) line += "  (" + r.answer + ")";
  return line;
}

// What the command needs of the installation, found as the service finds it.
struct Installation {
  std::string store;
  std::string log_dir;  // with its separator
  std::string console;  // MAILVANE_CONSOLE's value
};

int Find(Installation* found) {
  found->store = RegistryStorePath();
  std::unique_ptr<FileSystem> files = NewPosixFileSystem();
  try {
    SetProgramFolderCurrent(*files, ProgramFolder());  // a relative LogDir starts there
  } catch (const MailvaneError&) {
  }
  std::unique_ptr<RegistryReader> registry = NewFileRegistryReader(found->store);
  found->log_dir = WithFolderSeparator(ReadConfigValue(*registry, "LogDir"));
  if (found->log_dir.empty()) {
    return Fail(kNoJournal,
                "no LogDir in the store " + found->store + " (has the service run once?)");
  }
  const char* console = std::getenv("MAILVANE_CONSOLE");
  found->console = console ? console : "";
  return kDone;
}

std::unique_ptr<Journal> Open(const Installation& where, int* code) {
  auto journal = OpenJournal(where.log_dir + kJournalFileName, JournalMode::kRead);
  if (journal->ok()) return journal;
  *code = Fail(kNoJournal, "journal unavailable: " + where.log_dir + kJournalFileName + ": " +
                               journal->ErrorText());
  return nullptr;
}

// The console's messages API, signed in with the secret.
class Console {
 public:
  explicit Console(const Installation& where) : where_(where) {}

  int SignIn() {
    std::string error;
    std::optional<ConsoleAddress> address = ParseConsoleAddress(where_.console, &error);
    if (!address) return Fail(kUsage, "MAILVANE_CONSOLE: " + error);
    if (address->disabled) return Fail(kNotRunning, "the console is off (MAILVANE_CONSOLE=off)");
    const std::string host =
        address->host.find(':') == std::string::npos ? address->host : "[" + address->host + "]";
    origin_ = "http://" + host + ":" + std::to_string(address->port);
    std::string secret;
    const std::string secret_path = ConsoleSecretPath(where_.store);
    if (std::error_code ec = LoadOrCreateConsoleSecret(secret_path, &secret)) {
      return Fail(kSignIn, "cannot read the console secret " + secret_path + ": " + ec.message());
    }
    HttpResponse answer =
        Send("/login", json::serialize(json::object{{"secret", secret}}), /*signed_in=*/false);
    if (answer.status == 0) {
      return Fail(kNotRunning, "the service is not running (no console at " + origin_ + ": " +
                                   answer.failure + ")");
    }
    if (answer.status != 200) return Fail(kSignIn, "sign-in refused: " + ErrorOf(answer));
    boost::system::error_code bad;
    json::value body = json::parse(answer.body, bad);
    if (bad || !body.is_object() || !body.as_object().contains("csrf")) {
      return Fail(kSignIn, "sign-in answered without a token");
    }
    csrf_ = std::string(body.at("csrf").as_string());
    cookie_ = answer.set_cookie.substr(0, answer.set_cookie.find(';'));
    return kDone;
  }

  // POST /api/messages/<name>/<action>; prints what came of it.
  int Act(const std::string& name, const std::string& action, const std::string& recipient) {
    std::string body;
    if (!recipient.empty()) body = json::serialize(json::object{{"recipient", recipient}});
    HttpResponse answer = Send("/api/messages/" + name + "/" + action, body, true);
    if (answer.status == 200) return kDone;
    const int code = answer.status == 0 || answer.status == 503 ? kNotRunning : kRefused;
    return Fail(code, name + ": " + (answer.status == 0 ? answer.failure : ErrorOf(answer)));
  }

 private:
  HttpResponse Send(const std::string& path, const std::string& body, bool signed_in) {
    HttpRequest request;
    request.url = origin_ + path;
    request.headers = {{"Content-Type", "application/json"}, {"Origin", origin_}};
    if (signed_in) {
      request.headers.emplace_back("Cookie", cookie_);
      request.headers.emplace_back("X-CSRF-Token", csrf_);
    }
    request.body = body;
    return client_->Perform(request);
  }
  static std::string ErrorOf(const HttpResponse& answer) {
    boost::system::error_code bad;
    json::value body = json::parse(answer.body, bad);
    if (!bad && body.is_object() && body.as_object().contains("error") &&
        body.at("error").is_string()) {
      return std::string(body.at("error").as_string());
    }
    return "HTTP " + std::to_string(answer.status);
  }

  const Installation& where_;
  std::unique_ptr<HttpClient> client_ = NewCurlHttpClient(HttpClientOptions{});
  std::string origin_;
  std::string cookie_;
  std::string csrf_;
};

int Queue(Journal& journal) {
  std::vector<JournalMessage> waiting;
  if (journal.Waiting(kMostShown, &waiting)) {
    return Fail(kNoJournal, "journal unavailable: " + journal.ErrorText());
  }
  if (waiting.empty()) {
    std::printf("Queue is empty\n");
    return kDone;
  }
  for (const JournalMessage& m : waiting) {
    std::printf("%-28s %6s  %s  <%s>\n", m.spool_name.c_str(), Age(m.received).c_str(),
                Time(m.received).c_str(), m.envelope_sender.value_or("").c_str());
    for (const JournalRecipient& r : m.recipients) std::printf("%s\n", RecipientLine(r).c_str());
  }
  std::printf("-- %zu message%s waiting\n", waiting.size(), waiting.size() == 1 ? "" : "s");
  return kDone;
}

int Show(Journal& journal, const std::string& name) {
  JournalMessage m;
  if (std::error_code ec = journal.Timeline(name, &m)) {
    if (ec == JournalError::kNotFound) return Fail(kRefused, "no message " + name);
    return Fail(kNoJournal, "journal unavailable: " + journal.ErrorText());
  }
  std::printf("Message:   %s\nReceived:  %s\nState:     %s\n", m.spool_name.c_str(),
              Time(m.received).c_str(), std::string(MessageStateText(m.state)).c_str());
  if (m.ended) std::printf("Ended:     %s\n", Time(*m.ended).c_str());
  std::printf("Sender:    %s\nFrom:      %s\nSubject:   %s\nRecipients:\n",
              m.envelope_sender.value_or("").c_str(), m.from.c_str(), m.subject.c_str());
  for (const JournalRecipient& r : m.recipients) {
    std::printf("%s\n", RecipientLine(r).c_str());
    if (!r.text.empty()) std::printf("      text: %s\n", r.text.c_str());
  }
  std::printf("Timeline:\n");
  for (const JournalEvent& e : m.events) {
    std::printf("  %s  %s  %s  %s\n", Time(e.time).c_str(),
                e.address.empty() ? "(message)" : e.address.c_str(),
                std::string(RecipientStateName(e.state)).c_str(), e.text.c_str());
  }
  return kDone;
}

int Log(Journal& journal, const std::string& number) {
  std::vector<JournalMessage> log;
  if (journal.NumberLog(number, kLogShown, &log)) {
    return Fail(kNoJournal, "journal unavailable: " + journal.ErrorText());
  }
  for (const JournalMessage& m : log) {
    for (const JournalRecipient& r : m.recipients) {
      std::printf("%s  %-28s %-11s %s\n", Time(m.received).c_str(), m.spool_name.c_str(),
                  std::string(RecipientStateName(r.state)).c_str(), r.text.c_str());
    }
  }
  if (log.empty()) std::printf("No SMS to %s in the journal\n", number.c_str());
  return kDone;
}

// Writes one value of SOFTWARE\Mailvane, checked as the settings dialog checks it (a password is
// stored scrambled). The service reads it at its next start.
int Set(const std::string& name, const std::string& value) {
  const std::string store = RegistryStorePath();
  std::unique_ptr<Registry> registry = NewFileRegistry(store);
  const SettingWrite written = SetNamedSetting(*registry, kMainKey, name, value);
  if (!written.refusal.empty()) return Fail(kRefused, name + ": " + written.refusal);
  if (!written.written()) {
    return Fail(kNoJournal, "cannot write " + name + " to the store " + store + " (error " +
                                std::to_string(written.code) + ")");
  }
  std::printf("%s is set; the service reads it when it starts again\n", name.c_str());
  return kDone;
}

// The provider password from standard input (its first line), never from the command line,
// where other users could read it.
int Password() {
  std::string line;
  for (int c; (c = std::getchar()) != EOF && c != '\n';) line += static_cast<char>(c);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) return Fail(kUsage, "give the password on standard input");
  return Set("AccessPassword", line);
}

int Run(const std::vector<std::string>& args) {
  const std::string command = args.empty() ? "" : args[0];
  const size_t n = args.size();
  const bool known = (command == "queue" && n == 1) || (command == "show" && n == 2) ||
                     (command == "retry" && n == 2) ||
                     (command == "cancel" && (n == 2 || n == 3)) || (command == "log" && n == 2) ||
                     (command == "set" && n == 3) || (command == "password" && n == 1);
  if (!known) {
    std::fputs(kUsageText, stderr);
    return kUsage;
  }
  if (command == "set") return Set(args[1], args[2]);
  if (command == "password") return Password();
  Installation where;
  if (int code = Find(&where)) return code;
  int code = kDone;
  std::unique_ptr<Journal> journal;
  const bool reads = command != "cancel" && !(command == "retry" && args[1] != "--all");
  if (reads && !(journal = Open(where, &code))) return code;
  if (command == "queue") return Queue(*journal);
  if (command == "show") return Show(*journal, args[1]);
  if (command == "log") return Log(*journal, args[1]);

  Console console(where);
  if ((code = console.SignIn())) return code;
  if (command == "cancel") return console.Act(args[1], "cancel", n == 3 ? args[2] : "");
  if (args[1] != "--all") return console.Act(args[1], "retry", "");
  std::vector<JournalMessage> waiting;
  if (journal->Waiting(kMostShown, &waiting)) {
    return Fail(kNoJournal, "journal unavailable: " + journal->ErrorText());
  }
  for (const JournalMessage& m : waiting) {
    if (int refused = console.Act(m.spool_name, "retry", "")) {
      if (refused == kNotRunning) return refused;
      code = refused;
    }
  }
  std::printf("Retry asked for %zu message%s\n", waiting.size(), waiting.size() == 1 ? "" : "s");
  return code;
}

}  // namespace
}  // namespace mailvane

int main(int argc, char** argv) {
  return mailvane::Run(std::vector<std::string>(argv + 1, argv + argc));
}
