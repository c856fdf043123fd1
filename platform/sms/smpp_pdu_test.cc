#include "platform/sms/smpp_pdu.h"

#include <gtest/gtest.h>

namespace mailvane::smpp {
namespace {

std::string Hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    while (hex[i] == ' ') ++i;
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

Pdu Submit() {
  Pdu p;
  p.command_id = kSubmitSm;
  p.sequence = 7;
  p.source_ton = 5;
  p.source_addr = "Alice";
  p.dest_ton = 1;
  p.dest_npi = 1;
  p.destination_addr = "447700900123";
  p.esm_class = kEsmClassUdhi;
  p.registered_delivery = 1;
  p.data_coding = kDataCodingUcs2;
  p.short_message = std::string("\x05\x00\x03\x01\x02\x01\x04\x36", 8);
  return p;
}

// What goes out, byte for byte, as SMPP 3.4 lays it out.
TEST(SmppPduTest, EncodedBytes) {
  Pdu bind;
  bind.command_id = kBindTransceiver;
  bind.sequence = 1;
  bind.system_id = "acct";
  bind.password = "secret";
  bind.system_type = "";
  EXPECT_EQ(Encode(bind), Hex("00000021 00000009 00000000 00000001 61636374 00 736563726574 00"
                              "00 34 00 00 00"));
  EXPECT_EQ(Encode(Submit()), Hex("0000003a 00000004 00000000 00000007 00 05 00 416c69636500 01 01"
                                  "34343737303039303031323300 40 00 00 00 00 01 00 08 00 08"
                                  "0500030102010436"));
  Pdu nack;
  nack.command_id = kGenericNack;
  nack.command_status = kStatusInvalidCommandId;
  nack.sequence = 9;
  EXPECT_EQ(Encode(nack), Hex("00000010 80000000 00000003 00000009"));
  Pdu long_id = bind;
  long_id.system_id = "a-system-id-longer-than-sixteen";
  std::string error;
  EXPECT_EQ(Decode(Encode(long_id), &error)->system_id, "a-system-id-lon");  // SMPP's 15
}

TEST(SmppPduTest, RoundTrips) {
  Pdu deliver = Submit();
  deliver.command_id = kDeliverSm;
  Pdu resp;
  resp.command_id = kSubmitSmResp;
  resp.sequence = 3;
  resp.message_id = "5a-77";
  Pdu refused = resp;
  refused.command_status = kStatusThrottled;
  refused.message_id.clear();
  Pdu enquire;
  enquire.command_id = kEnquireLink;
  enquire.sequence = 0x7FFFFFFF;
  for (const Pdu& p : {Submit(), deliver, resp, refused, enquire}) {
    std::string error;
    std::optional<Pdu> back = Decode(Encode(p), &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(*back, p) << CommandName(p.command_id);
  }
}

TEST(SmppPduTest, ReceiptsAndResponsesAsSmscsSendThem) {
  std::string error;
  // deliver_sm with receipted_message_id, message_state and an unknown TLV.
  std::string receipt =
      Hex("00000000 00000005 00000000 0000002a 00 01 01 343400 05 00 4d7600"
          "04 00 00 00 00 00 00 00 00 03 69643a"
          "001e 0004 61626300 0427 0001 02 1401 0002 ffff");
  receipt[3] = static_cast<char>(receipt.size());
  std::optional<Pdu> p = Decode(receipt, &error);
  ASSERT_TRUE(p) << error;
  EXPECT_EQ(p->source_addr, "44");
  EXPECT_EQ(p->esm_class, kEsmClassReceipt);
  EXPECT_EQ(p->short_message, "id:");
  EXPECT_EQ(p->message_id, "abc");
  EXPECT_EQ(p->message_state, 2);
  // A refused bind without a body, and one with an optional parameter after system_id.
  p = Decode(Hex("00000010 80000009 0000000d 00000001"), &error);
  ASSERT_TRUE(p) << error;
  EXPECT_EQ(p->command_status, 0x0Du);
  p = Decode(Hex("00000015 80000009 00000000 00000001 534d5343 00"), &error);
  ASSERT_TRUE(p && p->system_id == "SMSC") << error;
  p = Decode(Hex("0000001a 80000009 00000000 00000001 534d5343 00 0210 0001 34"), &error);
  ASSERT_TRUE(p && p->system_id == "SMSC") << error;
  // submit_sm_resp: an optional parameter after message_id; message_id without its NUL.
  for (const char* bytes :
       {"00000022 80000004 00000000 00000001 41424344 00 001d 0009 6163636570746564 00",
        "00000014 80000004 00000000 00000001 41424344"}) {
    p = Decode(Hex(bytes), &error);
    ASSERT_TRUE(p && p->message_id == "ABCD") << bytes << error;
  }
}

TEST(SmppPduTest, MalformedPdusAreRefused) {
  const std::string cases[] = {
      "00000010 80000004 00000000",                                       // short header
      "00000011 80000015 00000000 00000001",                              // length says more
      "00000051 80000004 00000000 00000001 " + std::string(65 * 2, '4'),  // id past 64 octets
      "00000015 00000005 00000000 00000001 00 01 01 44 00",               // truncated deliver_sm
      "00000029 00000005 00000000 00000001 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
      "05 4142 001e 0004 6162",  // sm_length past the TLV's start
      "00000026 00000005 00000000 00000001 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
      "00 001e 0001 41",  // receipted id, no NUL: kept
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    std::string error;
    std::optional<Pdu> p = Decode(Hex(cases[i]), &error);
    if (i + 1 < std::size(cases)) {
      EXPECT_FALSE(p) << cases[i];
      EXPECT_FALSE(error.empty()) << cases[i];
    } else {
      ASSERT_TRUE(p) << error;
      EXPECT_EQ(p->message_id, "A");
    }
  }
}

TEST(SmppPduTest, FramerCutsAndBounds) {
  Framer framer;
  std::string two = Encode(Submit()) + Hex("00000010 80000015 00000000 00000002");
  std::string pdu;
  uint32_t bad = 0;
  // Byte by byte: each PDU comes out once it is whole.
  std::vector<std::string> out;
  for (char c : two) {
    framer.Append(std::string_view(&c, 1));
    while (framer.Take(&pdu, &bad) == Framer::Next::kPdu) out.push_back(pdu);
  }
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0] + out[1], two);
  for (uint32_t length : {0u, 15u, kMaxPduLength + 1}) {
    Framer f;
    std::string header = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                          static_cast<char>(length >> 8), static_cast<char>(length)};
    f.Append(header);
    EXPECT_EQ(f.Take(&pdu, &bad), Framer::Next::kBadLength) << length;
    EXPECT_EQ(bad, length);
  }
  Framer at_bound;
  at_bound.Append(Hex("00004000"));
  EXPECT_EQ(at_bound.Take(&pdu, &bad), Framer::Next::kNeedMore);
}

TEST(SmppPduTest, OutboxBound) {
  Outbox outbox;
  for (std::size_t i = 0; i < kMaxOutgoingPdus; ++i) ASSERT_TRUE(outbox.Push("pdu")) << i;
  EXPECT_FALSE(outbox.Push("one too many"));
  outbox.pop_front();
  EXPECT_TRUE(outbox.Push("room again"));
  EXPECT_EQ(outbox.size(), kMaxOutgoingPdus);
}

TEST(SmppPduTest, StatusTexts) {
  Pdu answer;
  answer.command_id = kEnquireLinkResp;
  EXPECT_EQ(AnswerText(kSubmitSm, answer),
            "SMPP submit_sm: answered by enquire_link_resp, ESME_ROK (0x00000000)");
  answer.command_id = 0x80000103;
  EXPECT_EQ(AnswerText(kSubmitSm, answer),
            "SMPP submit_sm: answered by command 0x80000103, ESME_ROK (0x00000000)");
  answer.command_id = kGenericNack;
  answer.command_status = kStatusInvalidCommandId;
  EXPECT_EQ(AnswerText(kSubmitSm, answer), "SMPP generic_nack: ESME_RINVCMDID (0x00000003)");
  answer.command_id = kSubmitSmResp;
  EXPECT_EQ(AnswerText(kSubmitSm, answer), "SMPP submit_sm: ESME_RINVCMDID (0x00000003)");
  EXPECT_EQ(StatusText(kSubmitSm, 0x58), "SMPP submit_sm: ESME_RTHROTTLED (0x00000058)");
  EXPECT_EQ(StatusText(kBindTransceiver, 0x0E),
            "SMPP bind_transceiver: ESME_RINVPASWD (0x0000000E)");
  EXPECT_EQ(StatusText(kSubmitSm, 0x400), "SMPP submit_sm: status (0x00000400)");
}

}  // namespace
}  // namespace mailvane::smpp
