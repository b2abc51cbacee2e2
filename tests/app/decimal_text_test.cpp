#include "app/decimal_text.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(DecimalTextTest, OnlyPlainDigitsWithinSixtyFourBitsConvert) {
  EXPECT_EQ(ParseDecimal("0"), 0);
  EXPECT_EQ(ParseDecimal("32768"), 32768);
  EXPECT_EQ(ParseDecimal("9223372036854775807"), 9223372036854775807LL);
  for (const char* bad : {"", "-1", "+1", " 1", "1 ", "1a", "0x10", "9223372036854775808"}) {
    EXPECT_THROW(ParseDecimal(bad), std::invalid_argument) << bad;
  }
}
