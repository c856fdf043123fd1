#include "platform/sms/smpp_session.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <deque>
#include <memory>

#include "platform/loop/asio_loop.h"
#include "platform/sms/smpp_pdu.h"
#include "platform/sms/sms_renderer.h"

namespace mailvane {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// An SMSC on loopback, on the test's loop: binds the account "acct"/"secret", answers each
// submit_sm with the next of `answers` (command and status; ESME_ROK once they run out), or
// answers nothing while `hold` is set.
class FakeSmsc {
 public:
  explicit FakeSmsc(asio::io_context& io) : acceptor_(io, {asio::ip::address_v4::loopback(), 0}) {
    Accept();
  }
  uint16_t port() const { return acceptor_.local_endpoint().port(); }

  std::deque<std::pair<uint32_t, uint32_t>> answers;
  bool hold = false;
  int submits = 0;

 private:
  struct Peer {
    explicit Peer(asio::io_context& io) : socket(io) {}
    tcp::socket socket;
    std::array<char, 4096> buffer{};
    smpp::Framer framer;
  };

  void Accept() {
    auto peer =
        std::make_shared<Peer>(static_cast<asio::io_context&>(acceptor_.get_executor().context()));
    acceptor_.async_accept(peer->socket, [this, peer](const boost::system::error_code& ec) {
      if (ec) return;
      Read(peer);
      Accept();
    });
  }

  void Read(const std::shared_ptr<Peer>& peer) {
    peer->socket.async_read_some(
        asio::buffer(peer->buffer),
        [this, peer](const boost::system::error_code& ec, std::size_t n) {
          if (ec) return;
          peer->framer.Append(std::string_view(peer->buffer.data(), n));
          std::string bytes;
          uint32_t bad = 0;
          while (peer->framer.Take(&bytes, &bad) == smpp::Framer::Next::kPdu) {
            std::string error;
            if (std::optional<smpp::Pdu> pdu = smpp::Decode(bytes, &error)) Answer(peer, *pdu);
          }
          Read(peer);
        });
  }

  void Answer(const std::shared_ptr<Peer>& peer, const smpp::Pdu& pdu) {
    smpp::Pdu answer;
    answer.command_id = pdu.command_id | smpp::kResponseBit;
    answer.sequence = pdu.sequence;
    if (pdu.command_id == smpp::kBindTransceiver) {
      answer.command_status = pdu.system_id == "acct" && pdu.password == "secret" ? 0 : 0x0D;
    } else if (pdu.command_id == smpp::kSubmitSm) {
      ++submits;
      if (hold) return;
      answer.message_id = "id" + std::to_string(submits);
      if (!answers.empty()) {
        std::tie(answer.command_id, answer.command_status) = answers.front();
        answers.pop_front();
      }
    }
    auto bytes = std::make_shared<std::string>(smpp::Encode(answer));
    asio::async_write(peer->socket, asio::buffer(*bytes), [bytes](auto, auto) {});
  }

  tcp::acceptor acceptor_;
};

class SmppSessionTest : public ::testing::Test {
 protected:
  std::unique_ptr<SmsRendererFactory> Factory(uint16_t port) {
    SmppSessionOptions options;
    options.host = "127.0.0.1";
    options.port = port;
    return NewSmppSmsRendererFactory(*loop_, options, "Mailvane", nullptr);
  }
  // A fresh loop with a fresh SMSC on it.
  void Reset() {
    smsc_.reset();
    loop_ = NewEventLoop();
    smsc_ = std::make_unique<FakeSmsc>(AsioContext(*loop_));
  }
  static std::unique_ptr<SmsRenderer> Renderer(SmsRendererFactory& factory,
                                               const std::string& password = "secret") {
    std::unique_ptr<SmsRenderer> renderer = factory.NewRenderer();
    renderer->SetAccount("acct");
    renderer->SetPassword(password);
    renderer->SetMessage("hello");
    renderer->AddRecipient("447700900123", "Bob");
    return renderer;
  }

  std::unique_ptr<EventLoop> loop_ = NewEventLoop();
  std::unique_ptr<FakeSmsc> smsc_ = std::make_unique<FakeSmsc>(AsioContext(*loop_));
};

// Each answer's failure kind: what no retry changes is permanent, an SMSC that cannot be used
// is the provider's, the rest is temporary; answers of the wrong kind never count as sent.
TEST_F(SmppSessionTest, FailuresSayHowTheyMayEnd) {
  struct Case {
    uint32_t command_id;
    uint32_t status;
    SendFailure failure;
    const char* text;
  };
  const Case cases[] = {
      {smpp::kSubmitSmResp, 0x0B, SendFailure::kPermanent,
       "SMPP submit_sm: ESME_RINVDSTADR (0x0000000B)"},
      {smpp::kSubmitSmResp, 0x0A, SendFailure::kPermanent,
       "SMPP submit_sm: ESME_RINVSRCADR (0x0000000A)"},
      {smpp::kSubmitSmResp, 0x01, SendFailure::kPermanent,
       "SMPP submit_sm: ESME_RINVMSGLEN (0x00000001)"},
      {smpp::kSubmitSmResp, 0x51, SendFailure::kPermanent,
       "SMPP submit_sm: ESME_RINVDSTNPI (0x00000051)"},
      {smpp::kSubmitSmResp, 0x104, SendFailure::kPermanent,
       "SMPP submit_sm: ESME_RINVDCS (0x00000104)"},
      {smpp::kSubmitSmResp, 0x45, SendFailure::kTemporary,
       "SMPP submit_sm: ESME_RSUBMITFAIL (0x00000045)"},
      {smpp::kSubmitSmResp, 0x08, SendFailure::kTemporary,
       "SMPP submit_sm: ESME_RSYSERR (0x00000008)"},
      {smpp::kGenericNack, 0x0B, SendFailure::kPermanent,
       "SMPP generic_nack: ESME_RINVDSTADR (0x0000000B)"},
      {smpp::kGenericNack, 0, SendFailure::kTemporary, "SMPP generic_nack: ESME_ROK (0x00000000)"},
      {smpp::kEnquireLinkResp, 0, SendFailure::kTemporary,
       "SMPP submit_sm: answered by enquire_link_resp, ESME_ROK (0x00000000)"},
      {smpp::kDeliverSmResp, 0x0B, SendFailure::kTemporary,
       "SMPP submit_sm: answered by deliver_sm_resp, ESME_RINVDSTADR (0x0000000B)"},
  };
  std::unique_ptr<SmsRendererFactory> factory = Factory(smsc_->port());
  for (const Case& c : cases) {
    smsc_->answers.emplace_back(c.command_id, c.status);
    std::unique_ptr<SmsRenderer> renderer = Renderer(*factory);
    EXPECT_EQ(renderer->Send(), kSmsProviderFailed) << c.text;
    EXPECT_EQ(renderer->ErrorText(), c.text);
    EXPECT_EQ(renderer->Failure(), c.failure) << c.text;
  }
  std::unique_ptr<SmsRenderer> renderer = Renderer(*factory);
  EXPECT_EQ(renderer->Send(), 0) << renderer->ErrorText();
  EXPECT_EQ(renderer->Failure(), SendFailure::kNone);

  std::unique_ptr<SmsRendererFactory> other = Factory(smsc_->port());
  std::unique_ptr<SmsRenderer> refused = Renderer(*other, "other");
  EXPECT_EQ(refused->Send(), kSmsProviderFailed);
  EXPECT_EQ(refused->ErrorText(), "SMPP bind_transceiver: ESME_RBINDFAIL (0x0000000D)");
  EXPECT_EQ(refused->Failure(), SendFailure::kProvider);

  uint16_t closed_port = 0;
  {
    tcp::acceptor gone(AsioContext(*loop_), {asio::ip::address_v4::loopback(), 0});
    closed_port = gone.local_endpoint().port();
  }
  std::unique_ptr<SmsRendererFactory> nowhere = Factory(closed_port);
  std::unique_ptr<SmsRenderer> unreachable = Renderer(*nowhere);
  EXPECT_EQ(unreachable->Send(), kSmsProviderFailed);
  EXPECT_EQ(unreachable->Failure(), SendFailure::kProvider) << unreachable->ErrorText();
}

// Sends that end because the handler stops (its loop stopped, or the factory closed while they
// wait for the SMSC) say so, and so does a send after the close.
TEST_F(SmppSessionTest, SendsEndedByStoppingSaySo) {
  for (bool stop_loop : {true, false}) {
    Reset();
    smsc_->hold = true;
    std::unique_ptr<SmsRendererFactory> factory = Factory(smsc_->port());
    std::unique_ptr<SmsRenderer> renderer = Renderer(*factory);
    const int submits = smsc_->submits;
    std::optional<long> result;
    renderer->StartSend([&result](long r) { result = r; });
    while (smsc_->submits == submits) AsioContext(*loop_).run_one();  // the submit is out
    if (stop_loop) {
      loop_->Stop();
      factory->WaitForSend();
      EXPECT_EQ(renderer->ErrorText(), "SMPP: the handler is stopping");
    } else {
      factory->Close();
      EXPECT_EQ(renderer->ErrorText(), "SMPP session closed");
    }
    ASSERT_EQ(result, kSmsProviderFailed) << stop_loop;
    EXPECT_EQ(renderer->Failure(), SendFailure::kStopping) << stop_loop;
    factory->Close();
    std::unique_ptr<SmsRenderer> late = Renderer(*factory);
    EXPECT_EQ(late->Send(), kSmsProviderFailed);
    EXPECT_EQ(late->Failure(), SendFailure::kStopping);
  }
}

}  // namespace
}  // namespace mailvane
