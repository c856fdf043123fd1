// Reading settings held as text as numbers, the way Mailvane's settings are meant to be read.
// A number is read in the en-GB manner: "." is the decimal separator and "," groups digits.
#ifndef MAILVANE_COMMON_CONVERT_H_
#define MAILVANE_COMMON_CONVERT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mailvane {

// The value of a text that reads as a number: surrounding spaces, a leading sign, digit grouping
// in the whole part, a decimal separator, an exponent, and "&H"/"&O" prefixed whole numbers.
// Empty or anything else: nullopt.
std::optional<double> ParseNumber(std::string_view text);

// The numeric test of the settings dialog and of the recipient classification.
inline bool IsNumeric(std::string_view text) { return ParseNumber(text).has_value(); }

// Reads a text as a 16-bit signed whole number, rounding halves to even. Throws MailvaneError 13
// (type mismatch) when the text is not a number, 6 (overflow) when it lies outside -32768..32767.
int16_t ToInt16(std::string_view text);

// Reads a text as a whole number of at most 32 bits: digits with an optional sign and surrounding
// spaces, nothing else. nullopt when the text is empty or not such a number.
std::optional<int32_t> ToWholeNumber(std::string_view text);

}  // namespace mailvane

#endif  // MAILVANE_COMMON_CONVERT_H_
