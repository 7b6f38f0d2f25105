#include "transport/number_format.h"

#include <gtest/gtest.h>

#include <limits>

namespace paravelle {
namespace {

TEST(NumberFormat, PlainDecimalAndSixSignificantDigits) {
  EXPECT_EQ(format_number(std::int32_t{-2147483647 - 1}), "-2147483648");
  EXPECT_EQ(format_number(1234567ul), "1234567");
  EXPECT_EQ(format_number(std::numeric_limits<unsigned long long>::max()), "18446744073709551615");
  EXPECT_EQ(format_number(12.5f), "12.5");
  EXPECT_EQ(format_number(100.0f / 3.0f), "33.3333");
  EXPECT_EQ(format_number(1e6f), "1e+06");
  EXPECT_EQ(format_number(2.2f), "2.2");
  EXPECT_EQ(format_wide_number(37.5f), L"37.5");
  EXPECT_EQ(format_wide_number(std::int32_t{25}), L"25");
  EXPECT_EQ(format_wide_bool(true), L"1");
  EXPECT_EQ(format_wide_bool(false), L"0");
}

TEST(NumberFormat, PointersAsSixteenUpperCaseHexDigits) {
  EXPECT_EQ(format_pointer(reinterpret_cast<const void*>(0xABCDEFull)), "0000000000ABCDEF");
  EXPECT_EQ(format_pointer(nullptr), "0000000000000000");
}

}  // namespace
}  // namespace paravelle
