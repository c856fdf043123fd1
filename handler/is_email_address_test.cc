#include "handler/is_email_address.h"

#include <gtest/gtest.h>

namespace mailvane {
namespace {

TEST(IsEmailAddressTest, Table) {
  struct {
    const char* address;
    bool is_email;
  } cases[] = {
      {"bob@example.com", true},
      {"BOB@EXAMPLE.COM", true},
      {"bob.smith-x_y@mail.example.co.uk", true},
      {"447700900123@sms.example.com", false},  // a number never matches
      {"447700900123", false},
      {"b@example.com", false},     // local part of one character
      {"bob.@example.com", false},  // local part must end in a letter or digit
      {"bob@example.c", false},     // last part of two letters at least
      {"bob@example.c0m", false},
      {"bob@-example.com", false},
      {"bob@example.com ", false},
      {"", false},
      {"bob@@example.com", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsEmailAddress(c.address), c.is_email) << c.address;
}

TEST(IsEmailAddressTest, AHugeAddressIsDecidedWithoutBlowingUp) {
  std::string address = "a" + std::string(1 << 20, '.') + "a@example.com";
  EXPECT_TRUE(IsEmailAddress(address));
  address.back() = '-';
  EXPECT_FALSE(IsEmailAddress(address));
}

}  // namespace
}  // namespace mailvane
