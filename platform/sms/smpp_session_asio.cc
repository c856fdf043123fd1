// The SMPP session over Boost.Asio: TCP, or TLS with the peer's certificate and host name
// verified. Every completion handler checks that its connection is still the current one, so a
// late completion of a dropped connection changes nothing.
#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <deque>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

#include "platform/loop/asio_loop.h"
#include "platform/sms/smpp_pdu.h"
#include "platform/sms/smpp_session.h"
#include "platform/sms/sms_renderer.h"

namespace mailvane {
namespace {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Steady = std::chrono::steady_clock;

constexpr std::chrono::seconds kUnbindGrace{2};
constexpr std::chrono::milliseconds kTick{250};
constexpr std::size_t kMaxReceiptField = 64;

// A field of a receipt as it may go into the log: printable ASCII, bounded.
std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, kMaxReceiptField)) {
    if (c > ' ' && c < 0x7F) out.push_back(c);
  }
  return out;
}

// The value after "key:" in a receipt text, up to the next space.
std::string ReceiptField(std::string_view text, std::string_view key) {
  std::size_t at = 0;
  while ((at = text.find(key, at)) != std::string_view::npos) {
    if (at == 0 || text[at - 1] == ' ') {
      std::string_view rest = text.substr(at + key.size());
      return Printable(rest.substr(0, rest.find(' ')));
    }
    at += key.size();
  }
  return {};
}

const char* MessageStateName(uint8_t state) {
  static constexpr const char* kNames[] = {"SCHEDULED", "ENROUTE", "DELIVRD", "EXPIRED", "DELETED",
                                           "UNDELIV",   "ACCEPTD", "UNKNOWN", "REJECTD"};
  return state < std::size(kNames) ? kNames[state] : "UNKNOWN";
}

}  // namespace

class SmppSession::Impl : public std::enable_shared_from_this<Impl> {
 public:
  Impl(EventLoop& loop, SmppSessionOptions options, std::function<void(const std::string&)> log)
      : io_(AsioContext(loop)),
        options_(std::move(options)),
        log_(std::move(log)),
        tls_context_(ssl::context::tls_client),
        tick_(io_),
        reconnect_(io_),
        pump_(io_) {
    if (options_.tls) {
      tls_context_.set_default_verify_paths();
      tls_context_.set_verify_mode(ssl::verify_peer);
    }
    if (options_.window < 1) options_.window = 1;
    if (options_.window > kMaxSmppWindow) options_.window = kMaxSmppWindow;
  }

  const SmppSessionOptions& options() const { return options_; }

  SmppResult Submit(const SmppMessage& message) {
    std::optional<SmppResult> result;
    StartSubmit(message, [&result](SmppResult r) { result = std::move(r); });
    auto guard = asio::make_work_guard(io_);
    while (!result) RunOne(kTick);
    return std::move(*result);
  }

  void StartSubmit(const SmppMessage& message, std::function<void(SmppResult)> done) {
    auto job = std::make_shared<Job>();
    job->message = message;
    job->done = std::move(done);
    job->ids.resize(message.parts.size());
    for (std::size_t i = 0; i < message.parts.size(); ++i) job->to_send.push_back(i);
    if (state_ == State::kClosed) {
      return Finish(job, {"SMPP session closed", SendFailure::kStopping});
    }
    if (state_ == State::kDown) {
      const Steady::time_point now = Steady::now();
      if (now < next_attempt_) {
        auto seconds = std::chrono::ceil<std::chrono::seconds>(next_attempt_ - now).count();
        return Finish(job,
                      {last_error_.text + "; next attempt in " + std::to_string(seconds) + " s",
                       last_error_.failure});
      }
      reconnect_.cancel();
      StartConnect();
    }
    jobs_.push_back(job);
    Settle(job);
    Pump();
  }

  void WaitForAny() {
    auto guard = asio::make_work_guard(io_);
    const uint64_t seen = finished_;
    while (finished_ == seen && !jobs_.empty()) RunOne(kTick);
  }

  void Close() {
    if (state_ == State::kClosed) return;
    if (state_ == State::kBound && conn_) {
      if (io_.stopped()) io_.restart();
      auto guard = asio::make_work_guard(io_);
      bool answered = false;
      smpp::Pdu unbind;
      unbind.command_id = smpp::kUnbind;
      Request(unbind, [&answered](const smpp::Pdu*, const Failed&) { answered = true; });
      const Steady::time_point deadline = Steady::now() + kUnbindGrace;
      while (!answered && conn_ && Steady::now() < deadline) {
        io_.run_one_for(deadline - Steady::now());
      }
    }
    state_ = State::kClosed;
    Shutdown();
  }

  // Drops the connection without waiting for anything; for the destructor. What is under way
  // fails as stopped.
  void Shutdown() {
    if (state_ != State::kClosed) state_ = State::kClosed;
    tick_.cancel();
    reconnect_.cancel();
    pump_.cancel();
    Drop({"SMPP session closed", SendFailure::kStopping});
  }

 private:
  enum class State { kDown, kConnecting, kBinding, kBound, kClosed };

  // Why a request or an SMS failed, and how that may end.
  struct Failed {
    std::string text;
    SendFailure failure = SendFailure::kTemporary;
    bool empty() const { return text.empty(); }
  };
  // The answer, or null with why there is none.
  using Answer = std::function<void(const smpp::Pdu*, const Failed&)>;
  struct Pending {
    uint32_t command_id;
    Steady::time_point deadline;
    Answer answer;
  };

  struct Connection {
    Connection(asio::io_context& io, ssl::context& context) : resolver(io), stream(io, context) {}
    tcp::resolver resolver;
    ssl::stream<tcp::socket> stream;
    bool tls = false;
    std::array<char, 8192> buffer{};
    smpp::Framer framer;
    smpp::Outbox writes;
    bool writing = false;
    bool close_after_write = false;
    Steady::time_point deadline;  // of connecting and binding
    Steady::time_point next_enquire;
  };

  using Done = std::function<void(SmppResult)>;
  // One SMS from its start until done has run: its parts not yet sent, those awaiting their
  // answer, and the first failure, which ends it at once.
  struct Job {
    SmppMessage message;
    Done done;
    std::deque<std::size_t> to_send;
    std::vector<std::string> ids;
    int in_flight = 0;
    int throttle_retries = 0;
    Failed failure;
    bool finished = false;
  };

  std::string Peer() const { return options_.host + ":" + std::to_string(options_.port); }

  // Runs one handler or waits at most max_wait. Once the loop has been stopped nothing more
  // will be answered: every SMS under way fails.
  void RunOne(Steady::duration max_wait) {
    if (!io_.stopped()) io_.run_one_for(max_wait);
    if (io_.stopped()) FailAll({"SMPP: the handler is stopping", SendFailure::kStopping});
  }

  // Sends the next parts of the SMS under way, in the order they were started, while the
  // session is bound, the window has room and pacing and throttling allow.
  void Pump() {
    while (state_ == State::kBound && conn_ && in_flight_ < options_.window) {
      std::shared_ptr<Job> job;
      for (const std::shared_ptr<Job>& candidate : jobs_) {
        if (!candidate->to_send.empty()) {
          job = candidate;
          break;
        }
      }
      if (!job) return;
      const Steady::time_point now = Steady::now();
      const Steady::time_point ready = std::max(paused_until_, next_submit_);
      if (now < ready) return ArmPump(ready);
      if (options_.throughput > 0) {
        next_submit_ = std::max(now, next_submit_) +
                       std::chrono::microseconds(1'000'000 / options_.throughput);
      }
      SubmitPart(job);
    }
  }

  void SubmitPart(const std::shared_ptr<Job>& job) {
    const SmppMessage& message = job->message;
    const std::size_t part = job->to_send.front();
    job->to_send.pop_front();
    smpp::Pdu pdu;
    pdu.command_id = smpp::kSubmitSm;
    pdu.source_ton = message.source_ton;
    pdu.source_npi = message.source_npi;
    pdu.source_addr = message.source_addr;
    pdu.dest_ton = message.dest_ton;
    pdu.dest_npi = message.dest_npi;
    pdu.destination_addr = message.destination_addr;
    pdu.esm_class = message.esm_class;
    pdu.data_coding = message.data_coding;
    // One receipt per SMS: asked for on its last part only.
    pdu.registered_delivery = options_.delivery_reports && part + 1 == message.parts.size() ? 1 : 0;
    pdu.short_message = message.parts[part];
    ++job->in_flight;
    ++in_flight_;
    Request(pdu, [this, job, part](const smpp::Pdu* answer, const Failed& error) {
      --job->in_flight;
      --in_flight_;
      // Only a submit_sm_resp can accept a part; any other answer on its sequence fails it.
      const bool own = answer != nullptr && answer->command_id == smpp::kSubmitSmResp;
      const bool nack = answer != nullptr && answer->command_id == smpp::kGenericNack;
      if (answer == nullptr) {
        if (job->failure.empty()) job->failure = error;
      } else if (own && answer->command_status == smpp::kStatusOk) {
        job->ids[part] = answer->message_id;
        Track(answer->message_id, job->message.destination_addr);
      } else if ((own || nack) &&
                 (answer->command_status == smpp::kStatusThrottled ||
                  answer->command_status == smpp::kStatusMessageQueueFull) &&
                 ++job->throttle_retries <= kMaxThrottleRetries) {
        paused_until_ = Steady::now() + kSmppThrottlePause;
        job->to_send.push_front(part);
      } else if (job->failure.empty()) {
        job->failure = {smpp::AnswerText(smpp::kSubmitSm, *answer),
                        (own || nack) && smpp::IsPermanentStatus(answer->command_status)
                            ? SendFailure::kPermanent
                            : SendFailure::kTemporary};
      }
      Settle(job);
      Pump();
    });
  }

  // Wakes Pump when pacing or a throttling pause allows the next submit.
  void ArmPump(Steady::time_point at) {
    if (pump_armed_ && pump_at_ <= at) return;
    pump_armed_ = true;
    pump_at_ = at;
    pump_.expires_at(at);
    auto self = shared_from_this();
    pump_.async_wait([this, self](const boost::system::error_code& ec) {
      if (ec) return;  // re-armed or cancelled
      pump_armed_ = false;
      Pump();
    });
  }

  // Ends the SMS when it failed or every part is answered.
  void Settle(const std::shared_ptr<Job>& job) {
    if (job->finished) return;
    if (!job->failure.empty()) return Finish(job, job->failure);
    if (job->to_send.empty() && job->in_flight == 0) Finish(job, Failed{{}, SendFailure::kNone});
  }

  // done runs last: it may start more SMS. Answers still due to a failed SMS only free the
  // window.
  void Finish(const std::shared_ptr<Job>& job, const Failed& failure) {
    if (job->finished) return;
    job->finished = true;
    for (auto it = jobs_.begin(); it != jobs_.end(); ++it) {
      if (*it == job) {
        jobs_.erase(it);
        break;
      }
    }
    ++finished_;
    SmppResult result;
    if (failure.empty()) {
      result.message_ids = std::move(job->ids);
    } else {
      result.outcome = SendOutcome::Failed(kSmsProviderFailed, failure.text, failure.failure);
    }
    Done done = std::move(job->done);
    if (done) done(std::move(result));
  }

  void FailAll(const Failed& reason) {
    std::deque<std::shared_ptr<Job>> jobs = std::move(jobs_);
    jobs_.clear();
    for (const std::shared_ptr<Job>& job : jobs) Finish(job, reason);
  }

  void StartConnect() {
    state_ = State::kConnecting;
    auto conn = std::make_shared<Connection>(io_, tls_context_);
    conn->tls = options_.tls;
    conn->deadline = Steady::now() + kSmppResponseTimeout;
    conn_ = conn;
    ArmTick();
    auto self = shared_from_this();
    conn->resolver.async_resolve(
        options_.host, std::to_string(options_.port),
        [this, self, conn](const boost::system::error_code& ec, tcp::resolver::results_type r) {
          if (conn != conn_) return;
          if (ec) return Drop(Unusable("SMPP connection to " + Peer() + ": " + ec.message()));
          asio::async_connect(
              conn->stream.next_layer(), r,
              [this, self, conn](const boost::system::error_code& ec2, const tcp::endpoint&) {
                if (conn != conn_) return;
                if (ec2) {
                  return Drop(Unusable("SMPP connection to " + Peer() + ": " + ec2.message()));
                }
                conn->stream.next_layer().set_option(tcp::no_delay(true));
                if (conn->tls) return Handshake(conn);
                Bind(conn);
              });
        });
  }

  void Handshake(const std::shared_ptr<Connection>& conn) {
    boost::system::error_code not_an_address;
    asio::ip::make_address(options_.host, not_an_address);
    if (not_an_address) {  // server name indication takes host names only
      SSL_set_tlsext_host_name(conn->stream.native_handle(), options_.host.c_str());
    }
    conn->stream.set_verify_callback(ssl::host_name_verification(options_.host));
    auto self = shared_from_this();
    conn->stream.async_handshake(
        ssl::stream_base::client, [this, self, conn](const boost::system::error_code& ec) {
          if (conn != conn_) return;
          if (ec) {
            return Drop(Unusable("SMPP TLS with " + Peer() + ": " + ec.message()));
          }
          Bind(conn);
        });
  }

  void Bind(const std::shared_ptr<Connection>& conn) {
    state_ = State::kBinding;
    StartRead(conn);
    smpp::Pdu bind;
    bind.command_id = smpp::kBindTransceiver;
    bind.system_id = options_.system_id;
    bind.password = options_.password;
    bind.system_type = options_.system_type;
    Request(bind, [this, conn](const smpp::Pdu* answer, const Failed& error) {
      if (conn != conn_) return;
      // Until the session is bound, every failure (its time-out too) means the SMSC cannot be
      // used now.
      if (answer == nullptr) return Drop(Unusable(error.text));
      if (answer->command_id != smpp::kBindTransceiverResp ||
          answer->command_status != smpp::kStatusOk) {
        return Drop(Unusable(smpp::AnswerText(smpp::kBindTransceiver, *answer)));
      }
      state_ = State::kBound;
      backoff_ = kSmppBackoffFirst;
      last_error_ = {};
      conn->next_enquire = Steady::now() + kSmppEnquireLinkInterval;
      Pump();  // what was started while connecting
    });
  }

  void StartRead(const std::shared_ptr<Connection>& conn) {
    auto self = shared_from_this();
    auto on_read = [this, self, conn](const boost::system::error_code& ec, std::size_t n) {
      if (conn != conn_) return;
      if (ec) {
        return Drop(
            Unusable("SMPP connection to " + Peer() + " lost: " +
                     (ec == asio::error::eof ? std::string("closed by the SMSC") : ec.message())));
      }
      conn->framer.Append(std::string_view(conn->buffer.data(), n));
      std::string bytes;
      uint32_t bad_length = 0;
      for (;;) {
        smpp::Framer::Next next = conn->framer.Take(&bytes, &bad_length);
        if (next == smpp::Framer::Next::kNeedMore) break;
        if (next == smpp::Framer::Next::kBadLength) {
          Nack(0, smpp::kStatusInvalidCommandLength);
          if (conn != conn_) return;  // the SMSC does not read either
          return Drop(
              {"SMPP: the SMSC sent a PDU of command_length " + std::to_string(bad_length)});
        }
        Handle(bytes);
        if (conn != conn_) return;  // the PDU ended the connection
      }
      StartRead(conn);
    };
    if (conn->tls) {
      conn->stream.async_read_some(asio::buffer(conn->buffer), on_read);
    } else {
      conn->stream.next_layer().async_read_some(asio::buffer(conn->buffer), on_read);
    }
  }

  void Write(smpp::Pdu pdu, bool close_after = false) {
    if (!conn_) return;
    if (!conn_->writes.Push(smpp::Encode(pdu))) {
      return Drop(Unusable("SMPP connection to " + Peer() + ": the SMSC does not read (" +
                           std::to_string(smpp::kMaxOutgoingPdus) + " PDUs wait to be sent)"));
    }
    if (close_after) conn_->close_after_write = true;
    if (!conn_->writing) DoWrite(conn_);
  }

  void DoWrite(const std::shared_ptr<Connection>& conn) {
    if (conn->writes.empty()) {
      conn->writing = false;
      if (conn->close_after_write) Drop(Unusable("SMPP: unbound by the SMSC"));
      return;
    }
    conn->writing = true;
    auto self = shared_from_this();
    auto done = [this, self, conn](const boost::system::error_code& ec, std::size_t) {
      if (conn != conn_) return;
      if (ec) return Drop(Unusable("SMPP connection to " + Peer() + " lost: " + ec.message()));
      conn->writes.pop_front();
      DoWrite(conn);
    };
    if (conn->tls) {
      asio::async_write(conn->stream, asio::buffer(conn->writes.front()), done);
    } else {
      asio::async_write(conn->stream.next_layer(), asio::buffer(conn->writes.front()), done);
    }
  }

  void Request(smpp::Pdu pdu, Answer answer) {
    if (!conn_) {
      answer(nullptr, last_error_.empty() ? Failed{"SMPP: not connected"} : last_error_);
      return;
    }
    sequence_ = sequence_ >= 0x7FFFFFFF ? 1 : sequence_ + 1;
    pdu.sequence = sequence_;
    pending_[sequence_] = {pdu.command_id, Steady::now() + kSmppResponseTimeout, std::move(answer)};
    Write(std::move(pdu));
  }

  static Failed Unusable(std::string text) { return {std::move(text), SendFailure::kProvider}; }

  void Nack(uint32_t sequence, uint32_t status) {
    smpp::Pdu nack;
    nack.command_id = smpp::kGenericNack;
    nack.command_status = status;
    nack.sequence = sequence;
    Write(nack);
  }

  void Handle(const std::string& bytes) {
    std::string error;
    std::optional<smpp::Pdu> decoded = smpp::Decode(bytes, &error);
    if (!decoded) {
      // The framer guarantees a whole header.
      auto word = [&bytes](std::size_t at) {
        uint32_t v = 0;
        for (std::size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
        return v;
      };
      const uint32_t command_id = word(4);
      const uint32_t sequence = word(12);
      if ((command_id & smpp::kResponseBit) == 0)
        return Nack(sequence, smpp::kStatusInvalidCommandLength);
      return Resolve(sequence, nullptr,
                     {std::string("SMPP ") + smpp::CommandName(command_id) + ": " + error});
    }
    const smpp::Pdu& pdu = *decoded;
    if ((pdu.command_id & smpp::kResponseBit) != 0) {
      return Resolve(pdu.sequence, &pdu, {});
    }
    smpp::Pdu answer;
    answer.command_id = pdu.command_id | smpp::kResponseBit;
    answer.sequence = pdu.sequence;
    switch (pdu.command_id) {
      case smpp::kEnquireLink:
        return Write(answer);
      case smpp::kUnbind:
        return Write(answer, /*close_after=*/true);
      case smpp::kDeliverSm:
        Write(answer);
        if ((pdu.esm_class & 0x3C) == smpp::kEsmClassReceipt) Receipt(pdu);
        return;
      default:
        return Nack(pdu.sequence, smpp::kStatusInvalidCommandId);
    }
  }

  void Resolve(uint32_t sequence, const smpp::Pdu* pdu, const Failed& error) {
    auto it = pending_.find(sequence);
    if (it == pending_.end()) return;  // late or unknown: nothing waits for it
    Answer answer = std::move(it->second.answer);
    pending_.erase(it);
    answer(pdu, error);
  }

  void Receipt(const smpp::Pdu& pdu) {
    std::string id = Printable(pdu.message_id);
    if (id.empty()) id = ReceiptField(pdu.short_message, "id:");
    std::string stat = ReceiptField(pdu.short_message, "stat:");
    if (stat.empty() && pdu.message_state) stat = MessageStateName(*pdu.message_state);
    if (stat.empty()) stat = "UNKNOWN";
    std::string number = Printable(pdu.source_addr);
    auto it = tracked_.find(id);
    if (it != tracked_.end()) number = it->second;
    const bool lost = stat == "UNDELIV" || stat == "EXPIRED" || stat == "REJECTD";
    if (log_) log_((lost ? "!!!SMS " : "SMS ") + number + " " + stat + " (" + id + ")");
    if (options_.receipt) options_.receipt(id, stat, ReceiptField(pdu.short_message, "err:"));
  }

  void Track(const std::string& id, const std::string& number) {
    if (!options_.delivery_reports || id.empty()) return;
    if (tracked_.emplace(id, number).second) tracked_order_.push_back(id);
    while (tracked_order_.size() > kMaxTrackedMessageIds) {
      tracked_.erase(tracked_order_.front());
      tracked_order_.pop_front();
    }
  }

  // Ends the current connection: every request waiting on it fails with the reason, and unless
  // the session is closed a reconnect is scheduled after the back-off.
  void Drop(const Failed& reason) {
    std::shared_ptr<Connection> conn = std::move(conn_);
    conn_.reset();
    if (conn) {
      boost::system::error_code ignored;
      conn->resolver.cancel();
      conn->stream.next_layer().close(ignored);
    }
    if (!reason.empty()) last_error_ = reason;
    std::map<uint32_t, Pending> pending = std::move(pending_);
    pending_.clear();
    for (auto& [sequence, p] : pending) p.answer(nullptr, reason);
    // SMS not yet sent go no further on this connection; they fail now rather than wait for
    // the next, so that a lost connection is reported at once and retried by the caller.
    FailAll(last_error_.empty() ? Failed{"SMPP: connection lost"} : last_error_);
    if (state_ == State::kClosed) return;
    state_ = State::kDown;
    next_attempt_ = Steady::now() + backoff_;
    reconnect_.expires_at(next_attempt_);
    backoff_ = std::min<std::chrono::seconds>(backoff_ * 2, kSmppBackoffLast);
    auto self = shared_from_this();
    reconnect_.async_wait([this, self](const boost::system::error_code& ec) {
      if (ec || state_ != State::kDown) return;
      StartConnect();
    });
  }

  // While a connection exists: deadlines of connecting, binding and requests, and the
  // session's own enquire_link.
  void ArmTick() {
    if (ticking_) return;
    ticking_ = true;
    tick_.expires_after(kTick);
    auto self = shared_from_this();
    tick_.async_wait([this, self](const boost::system::error_code& ec) {
      ticking_ = false;
      if (ec || !conn_) return;
      const Steady::time_point now = Steady::now();
      if ((state_ == State::kConnecting) && now >= conn_->deadline) {
        return Drop(Unusable("SMPP connection to " + Peer() + ": no answer in " +
                             std::to_string(kSmppResponseTimeout.count()) + " s"));
      }
      for (const auto& [sequence, p] : pending_) {
        if (now >= p.deadline) {
          // A bind that is not answered means the SMSC cannot be used now; a submit or an
          // enquire_link that is not answered is a time-out of this connection.
          Failed timeout{std::string("SMPP ") + smpp::CommandName(p.command_id) +
                         ": no response in " + std::to_string(kSmppResponseTimeout.count()) + " s"};
          if (p.command_id == smpp::kBindTransceiver) timeout.failure = SendFailure::kProvider;
          return Drop(timeout);
        }
      }
      if (state_ == State::kBound && now >= conn_->next_enquire) {
        conn_->next_enquire = now + kSmppEnquireLinkInterval;
        smpp::Pdu enquire;
        enquire.command_id = smpp::kEnquireLink;
        Request(enquire, [](const smpp::Pdu*, const Failed&) {});
      }
      ArmTick();
    });
  }

  asio::io_context& io_;
  SmppSessionOptions options_;
  std::function<void(const std::string&)> log_;
  ssl::context tls_context_;
  asio::steady_timer tick_;
  asio::steady_timer reconnect_;
  asio::steady_timer pump_;
  bool ticking_ = false;
  bool pump_armed_ = false;
  Steady::time_point pump_at_{};
  std::deque<std::shared_ptr<Job>> jobs_;  // SMS started and not yet done, in order
  int in_flight_ = 0;                      // submits of all SMS awaiting their answer
  uint64_t finished_ = 0;                  // SMS done so far
  State state_ = State::kDown;
  std::shared_ptr<Connection> conn_;
  std::map<uint32_t, Pending> pending_;
  uint32_t sequence_ = 0;
  Failed last_error_;
  Steady::time_point next_attempt_{};
  std::chrono::seconds backoff_ = kSmppBackoffFirst;
  Steady::time_point paused_until_{};
  Steady::time_point next_submit_{};
  std::unordered_map<std::string, std::string> tracked_;
  std::deque<std::string> tracked_order_;
};

SmppSession::SmppSession(EventLoop& loop, SmppSessionOptions options,
                         std::function<void(const std::string&)> log)
    : impl_(std::make_shared<Impl>(loop, std::move(options), std::move(log))) {}

SmppSession::~SmppSession() { impl_->Shutdown(); }

SmppResult SmppSession::Submit(const SmppMessage& message) { return impl_->Submit(message); }

void SmppSession::StartSubmit(const SmppMessage& message, std::function<void(SmppResult)> done) {
  impl_->StartSubmit(message, std::move(done));
}

void SmppSession::WaitForAny() { impl_->WaitForAny(); }

void SmppSession::Close() { impl_->Close(); }

const SmppSessionOptions& SmppSession::options() const { return impl_->options(); }

}  // namespace mailvane
