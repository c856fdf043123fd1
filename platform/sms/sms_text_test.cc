#include "platform/sms/sms_text.h"

#include <gtest/gtest.h>

namespace mailvane {
namespace {

// Septets or UTF-16 units of one part, the UDH left out.
std::size_t Units(const EncodedSms& sms, const std::string& part) {
  std::size_t octets = part.size() - (sms.concatenated ? 6 : 0);
  return sms.data_coding == 8 ? octets / 2 : octets;
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

TEST(SmsTextTest, AlphabetAndParts) {
  struct Case {
    std::string text;
    uint8_t coding;
    std::vector<std::size_t> units;  // per part
  };
  const Case cases[] = {
      {"", 0, {0}},
      {"Hello @£$¥ èé ÄÖÑÜ§¿ äöñüà\r\n", 0, {28}},
      {"€[]{}~^|\\\f", 0, {20}},  // every extension character counts two
      {"Ça ç", 0, {4}},           // both cases of c-cedilla are 0x09
      {Repeat("a", 160), 0, {160}},
      {Repeat("a", 161), 0, {153, 8}},
      {Repeat("€", 80), 0, {160}},
      {Repeat("a", 152) + "€" + Repeat("a", 10),
       0,
       {152, 12}},  // the escape and its code stay together
      {Repeat("a", 306), 0, {153, 153}},
      {"café ж", 8, {6}},
      {"\t", 8, {1}},  // no place in the default alphabet
      {Repeat("ж", 70), 8, {70}},
      {Repeat("ж", 71), 8, {67, 4}},
      {Repeat("ж", 66) + "😀" + Repeat("ж", 5), 8, {66, 7}},  // a surrogate pair stays whole
      {Repeat("😀", 35), 8, {70}},
      {"\xff", 8, {1}},  // invalid UTF-8 reads as U+FFFD
  };
  for (const Case& c : cases) {
    EncodedSms sms = EncodeSmsText(c.text, 42);
    EXPECT_EQ(sms.data_coding, c.coding) << c.text;
    std::vector<std::size_t> units;
    for (const std::string& part : sms.parts) units.push_back(Units(sms, part));
    EXPECT_EQ(units, c.units) << c.text;
    EXPECT_EQ(sms.concatenated, c.units.size() > 1) << c.text;
    for (std::size_t i = 0; sms.concatenated && i < sms.parts.size(); ++i) {
      EXPECT_EQ(sms.parts[i].substr(0, 6),
                (std::string{5, 0, 3, 42, static_cast<char>(sms.parts.size()),
                             static_cast<char>(i + 1)}));
    }
  }
}

TEST(SmsTextTest, OctetsOfEachAlphabet) {
  EXPECT_EQ(EncodeSmsText("A@€\n", 0).parts[0], std::string("A\0\x1B\x65\n", 5));
  EXPECT_EQ(EncodeSmsText("çÇ", 0).parts[0], "\x09\x09");
  EXPECT_EQ(EncodeSmsText("ж😀", 0).parts[0], std::string("\x04\x36\xD8\x3D\xDE\x00", 6));
  EXPECT_EQ(GsmSeptets("a€"), 3u);
  EXPECT_EQ(GsmSeptets("a😀"), std::nullopt);
  EXPECT_EQ(EncodeSmsText(Repeat("a", 153 * 256), 0).parts.size(), 256u);  // refused by the caller
}

TEST(SmsTextTest, Numbers) {
  struct Case {
    const char* number;
    std::optional<std::pair<int, std::string>> expected;  // (ton, digits)
  };
  const Case cases[] = {
      {"447700900123", {{0, "447700900123"}}},
      {"+44 7700-900123", {{1, "447700900123"}}},
      {"0044 7700 900123", {{1, "447700900123"}}},
      {"07700 900123", {{0, "07700900123"}}},
      {"12345678901234567890", {{0, "12345678901234567890"}}},
      {"123456789012345678901", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"00", std::nullopt},
      {"44+77", std::nullopt},
      {"++44", std::nullopt},
      {"4477a", std::nullopt},
      {"1.5", std::nullopt},
      {"٤٤٧", std::nullopt},
  };
  for (const Case& c : cases) {
    std::optional<SmsNumber> n = ParseSmsNumber(c.number);
    ASSERT_EQ(n.has_value(), c.expected.has_value()) << c.number;
    if (!n) continue;
    EXPECT_EQ(n->ton, c.expected->first) << c.number;
    EXPECT_EQ(n->npi, 1) << c.number;
    EXPECT_EQ(n->digits, c.expected->second) << c.number;
  }
}

}  // namespace
}  // namespace mailvane
