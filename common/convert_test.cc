#include "common/convert.h"

#include <gtest/gtest.h>

#include "common/error.h"

namespace mailvane {
namespace {

struct NumberCase {
  const char* text;
  std::optional<double> value;
};

TEST(ConvertTest, ParseNumberReadsTheEnGbForms) {
  const NumberCase cases[] = {
      {"30", 30},
      {"  30  ", 30},
      {"+5", 5},
      {"-5", -5},
      {"1,000", 1000},
      {"1,000.25", 1000.25},
      {".5", 0.5},
      {"5.", 5},
      {"-.5", -0.5},
      {"1e3", 1000},
      {"2.5E-1", 0.25},
      {"&H1F", 31},
      {"&h1f", 31},
      {"&HFFFF", -1},  // four hex digits are a 16-bit pattern
      {"&H8000", -32768},
      {"&H08000", 32768},  // five are not
      {"&HFFFFFFFF", -1},  // eight are a 32-bit pattern
      {"&H7FFFFFFF", 2147483647},
      {"&O17", 15},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"abc", std::nullopt},
      {"1 2", std::nullopt},
      {"-", std::nullopt},
      {"+", std::nullopt},
      {".", std::nullopt},
      {",1", std::nullopt},
      {"1,", std::nullopt},
      {"1,,000", std::nullopt},
      {"1.000,5", std::nullopt},  // "," after the decimal separator
      {"1e", std::nullopt},
      {"1e+", std::nullopt},
      {"1e400", std::nullopt},  // not finite
      {"&H", std::nullopt},
      {"&HG", std::nullopt},
      {"&O8", std::nullopt},
      {"&X1", std::nullopt},
      {"&H100000000", std::nullopt},
      {"30x", std::nullopt},
  };
  for (const NumberCase& c : cases) {
    EXPECT_EQ(ParseNumber(c.text), c.value) << '"' << c.text << '"';
    EXPECT_EQ(IsNumeric(c.text), c.value.has_value()) << '"' << c.text << '"';
  }
}

TEST(ConvertTest, ToInt16RoundsHalvesToEvenAndRaisesOutsideItsRange) {
  const std::pair<const char*, int> values[] = {
      {"2.5", 2},         {"3.5", 4},           {"-2.5", -2},   {"0.4999", 0},  {"32767", 32767},
      {"-32768", -32768}, {"-32768.5", -32768}, {" 160 ", 160}, {"&HFFFF", -1}, {"1,024", 1024},
  };
  for (const auto& [text, expected] : values) EXPECT_EQ(ToInt16(text), expected) << text;

  const std::pair<const char*, int> errors[] = {
      {"32768", kErrOverflow},   {"32767.5", kErrOverflow}, {"-32769", kErrOverflow},
      {"1e10", kErrOverflow},    {"", kErrTypeMismatch},    {"abc", kErrTypeMismatch},
      {"1 0", kErrTypeMismatch},
  };
  for (const auto& [text, number] : errors) {
    try {
      ToInt16(text);
      ADD_FAILURE() << text << " did not raise";
    } catch (const MailvaneError& e) {
      EXPECT_EQ(e.number(), number) << text;
    }
  }
}

TEST(ConvertTest, ToWholeNumberTakesOnlyPlainDigits) {
  const std::pair<const char*, std::optional<int32_t>> cases[] = {
      {"30", 30},
      {" 30 ", 30},
      {"+30", 30},
      {"-30", -30},
      {"0", 0},
      {"007", 7},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"x", std::nullopt},
      {"30.0", std::nullopt},
      {"1,000", std::nullopt},
      {"- 5", std::nullopt},
      {"-", std::nullopt},
      {"3 0", std::nullopt},
      {"\t30", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ToWholeNumber(text), expected) << text;
}

}  // namespace
}  // namespace mailvane
