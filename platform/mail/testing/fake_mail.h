// A mail layer for tests. Stored messages are configured per path (their fields, or the result of
// their load); outgoing mails are recorded in the factory, every call in order, and Send returns
// scripted results. The factory must outlive every object it made. Single-threaded.
#ifndef MAILVANE_PLATFORM_MAIL_TESTING_FAKE_MAIL_H_
#define MAILVANE_PLATFORM_MAIL_TESTING_FAKE_MAIL_H_

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/mail/mail.h"

namespace mailvane {

// What a fake stored message offers after a successful load.
struct FakeMessageContent {
  std::string subject;
  std::string body;
  std::string from;
  std::string from_addr;
  std::vector<MailRecipient> recipients;
};

// One outgoing mail as its caller drove it.
struct SentMail {
  std::vector<std::string> calls;  // member names in call order: "Reset", "BodyFormat", ...
  std::string servers;
  std::string subject;
  std::string body;
  std::string from;
  std::string from_addr;
  std::vector<MailRecipient> recipients;
  int send_count = 0;  // how often Send was called on this object
  long result = -1;    // what the last Send returned; -1 before any
};

// A scripted outcome of Send.
struct FakeSendResult {
  long code = 0;
  std::string detail;  // the outcome's text after a failure
};

class FakeMailFactory final : public MailFactory {
 public:
  FakeMailFactory() = default;

  // Stored messages. A path that was never configured loads as kMailFileOpenError.
  void SetMessage(const std::string& path, FakeMessageContent content);
  void SetLoadResult(const std::string& path, long code);
  // The next `times` loads of the path return code (kMailFileTemporaryError, say), then the path
  // loads as configured.
  void FailLoads(const std::string& path, long code, int times);
  void RemoveMessage(const std::string& path);

  // Outgoing mails. Results are taken from the queue first, one per Send; when it is empty the
  // function decides, when set, else the default result (0).
  void QueueSendResult(long code, std::string detail = "");
  void SetSendFunction(std::function<FakeSendResult(const SentMail&)> decide);
  void SetDefaultSendResult(FakeSendResult result);

  // Everything recorded so far, in order.
  const std::vector<SentMail>& sent() const { return sent_; }  // one entry per Send call
  const std::vector<std::string>& loaded_paths() const { return loaded_paths_; }
  const std::vector<std::string>& temp_directories() const { return temp_directories_; }
  int stored_messages_created() const { return stored_created_; }
  int outgoing_mails_created() const { return outgoing_created_; }
  int live_objects() const { return live_; }  // made and not yet released

  std::unique_ptr<StoredMessage> NewStoredMessage() override;
  std::unique_ptr<OutgoingMail> NewOutgoingMail() override;
  void SetTls(MailTls level, const std::string& ca_file) override {
    tls_ = level;
    tls_ca_file_ = ca_file;
  }
  MailTls tls() const { return tls_; }
  const std::string& tls_ca_file() const { return tls_ca_file_; }

  // Used by the fake objects.
  long Load(const std::string& path, FakeMessageContent& content);
  FakeSendResult Send(const SentMail& mail);
  void RecordTempDirectory(const std::string& folder) { temp_directories_.push_back(folder); }
  void Released() { --live_; }

 private:
  struct Entry {
    long result = 0;
    FakeMessageContent content;
    long failure = 0;
    int failures_left = 0;
  };
  std::map<std::string, Entry> messages_;
  std::deque<FakeSendResult> queued_;
  std::function<FakeSendResult(const SentMail&)> decide_;
  FakeSendResult default_result_;
  std::vector<SentMail> sent_;
  std::vector<std::string> loaded_paths_;
  std::vector<std::string> temp_directories_;
  int stored_created_ = 0;
  int outgoing_created_ = 0;
  int live_ = 0;
  MailTls tls_ = MailTls::kMay;
  std::string tls_ca_file_;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_MAIL_TESTING_FAKE_MAIL_H_
