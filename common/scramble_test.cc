#include "common/scramble.h"

#include <gtest/gtest.h>

#include <random>

#include "common/error.h"

namespace mailvane {
namespace {

int ErrorNumberOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const MailvaneError& e) {
    return e.number();
  }
  return 0;
}

TEST(ScrambleTest, KnownStoredForms) {
  // Sums worked out by hand from the key: 'a' 97 + 'z' 122 = 0xDB, 'b' 98 + 'r' 114 = 0xD4.
  EXPECT_EQ(ScramblePassword(""), "");
  EXPECT_EQ(ScramblePassword("a"), "DB");
  EXPECT_EQ(ScramblePassword("ab"), "DBD4");
  EXPECT_EQ(ScramblePassword("A"), "BB");
  EXPECT_EQ(ScramblePassword("pinewarden"), "EADBA5D5E8CED5DC999E");  // the first-run default
  EXPECT_EQ(UnscramblePassword("DBD4"), "ab");
  EXPECT_EQ(UnscramblePassword("dbd4"), "ab");
  EXPECT_EQ(UnscramblePassword("dBD4"), "ab");
  EXPECT_EQ(UnscramblePassword(""), "");
}

TEST(ScrambleTest, TheThirtyThirdCharacterUsesKeyCharacterOneAgain) {
  std::string password(32, 'A');
  password += 'B';
  std::string stored = ScramblePassword(password);
  ASSERT_EQ(stored.size(), 66u);
  EXPECT_EQ(stored.substr(64), "BC");  // 'B' 66 + 'z' 122 = 0xBC; the key's 'Q' would give 0x93
  EXPECT_EQ(stored.substr(0, 2), "BB");
  EXPECT_EQ(UnscramblePassword(stored), password);
}

TEST(ScrambleTest, PrintablePasswordsOfManyLengthsRoundTrip) {
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> printable(32, 126);
  for (int round = 0; round < 400; ++round) {
    std::string password;
    int length = round % 100;
    for (int i = 0; i < length; ++i) password += static_cast<char>(printable(random));
    std::string stored = ScramblePassword(password);
    ASSERT_EQ(stored.size(), 2 * password.size());
    ASSERT_EQ(stored.find_first_not_of("0123456789ABCDEF"), std::string::npos) << stored;
    ASSERT_EQ(UnscramblePassword(stored), password);
  }
}

TEST(ScrambleTest, EveryStorableByteAtEveryKeyPositionRoundTrips) {
  for (int position = 0; position < 32; ++position) {
    for (int code = 0; code < 256; ++code) {
      std::string password(position, '0');
      password += static_cast<char>(code);
      bool storable = code + static_cast<unsigned char>(kScrambleKey[position]) <= 255;
      ASSERT_EQ(CanScramblePassword(password), storable) << position << " " << code;
      if (storable) {
        ASSERT_EQ(UnscramblePassword(ScramblePassword(password)), password);
      } else {
        ASSERT_EQ(ErrorNumberOf([&] { ScramblePassword(password); }), kErrInvalidCall);
      }
    }
  }
}

TEST(ScrambleTest, BytesOfUtf8TextAreScrambledOneByOne) {
  // "é" is C3 A9: 0xC3 + 'z' exceeds 255 at position 1, but 0xC3 + '4' (52) = 0xF7 at position 9.
  EXPECT_FALSE(CanScramblePassword("\xC3\xA9"));
  std::string late = "12345678\xC3";
  ASSERT_TRUE(CanScramblePassword(late));
  EXPECT_EQ(ScramblePassword(late).substr(16), "F7");
  EXPECT_EQ(UnscramblePassword(ScramblePassword(late)), late);
}

TEST(ScrambleTest, StoredTextsThatAreNotScrambledFormsAreRefused) {
  const std::pair<const char*, int> cases[] = {
      {"A", kErrInvalidCall},  // odd length, refused rather than cut
      {"DBD", kErrInvalidCall},   {"ZZ", kErrTypeMismatch},
      {"D ", kErrTypeMismatch},   {"+1", kErrTypeMismatch},
      {"DB0x", kErrTypeMismatch}, {"00", kErrInvalidCall},  // 0 is below 'z'
      {"DB71", kErrInvalidCall},                            // 0x71 is below 'r' (0x72)
      {"00ZZ", kErrTypeMismatch},  // every pair is read before any is unscrambled
  };
  for (const auto& [stored, number] : cases) {
    EXPECT_EQ(ErrorNumberOf([&] { UnscramblePassword(stored); }), number) << stored;
  }
  EXPECT_EQ(UnscramblePassword("DB72"), std::string("a\0", 2));  // exactly the key code gives 0
}

}  // namespace
}  // namespace mailvane
