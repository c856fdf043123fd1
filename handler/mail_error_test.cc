#include "handler/mail_error.h"

#include <gtest/gtest.h>

namespace mailvane {
namespace {

TEST(GetMailErrorTextTest, TableCodesAndTheFallback) {
  EXPECT_EQ(GetMailErrorText(3), " The process has run out of memory.");
  EXPECT_EQ(GetMailErrorText(27), "Socket Timeout Error");
  EXPECT_EQ(GetMailErrorText(15), "No mail server specified.");
  for (long code : {2L, 6L, 12L, 13L, 14L, 23L, 42L, -1L, 0L}) {
    EXPECT_EQ(GetMailErrorText(code), "Unrecognized error (" + std::to_string(code) + ")");
  }
}

}  // namespace
}  // namespace mailvane
