// How one SMS text and one mobile number travel in SMPP: the text in the GSM 03.38 default
// alphabet when every character has a place in it, else in UCS-2 (UTF-16BE); a text longer than
// one SMS as a concatenated SMS, never splitting an escaped character or a surrogate pair; the
// number as digits with its type of number. Pure functions, any thread.
#ifndef MAILVANE_PLATFORM_SMS_SMS_TEXT_H_
#define MAILVANE_PLATFORM_SMS_SMS_TEXT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mailvane {

inline constexpr std::size_t kGsmSingleSeptets = 160;
inline constexpr std::size_t kGsmPartSeptets = 153;  // a part's UDH takes the rest
inline constexpr std::size_t kUcs2SingleUnits = 70;
inline constexpr std::size_t kUcs2PartUnits = 67;
inline constexpr std::size_t kMaxSmsParts = 255;     // the UDH counts parts in one octet
inline constexpr std::size_t kMaxNumberDigits = 20;  // destination_addr holds 21 octets with NUL

// The text as it goes in short_message: data_coding 0 (one octet per septet, an extension
// character as 0x1B and its code) or 8 (UTF-16BE). One part without a UDH, or several parts,
// each led by the 6-octet concatenation UDH (reference, count, number from 1).
struct EncodedSms {
  uint8_t data_coding = 0;
  bool concatenated = false;
  std::vector<std::string> parts;
};

// Invalid UTF-8 is read as U+FFFD (which makes the text UCS-2). The parts may be more than
// kMaxSmsParts; the caller refuses such a text.
EncodedSms EncodeSmsText(std::string_view utf8, uint8_t reference);

// Septets of the text in the default alphabet (extension characters counting two), or nothing
// when some character has no place there.
std::optional<std::size_t> GsmSeptets(std::string_view utf8);

struct SmsNumber {
  uint8_t ton = 0;  // 1 international (the number had "+" or "00"), 0 unknown
  uint8_t npi = 1;  // ISDN (E.164)
  std::string digits;
};

// The number without spaces and "-"; a leading "+" or "00" is dropped and makes it
// international. Nothing when what remains is not 1 to kMaxNumberDigits ASCII digits.
std::optional<SmsNumber> ParseSmsNumber(std::string_view number);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SMS_SMS_TEXT_H_
