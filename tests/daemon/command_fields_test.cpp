#include "daemon/command_context.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/tokenizer.hpp>

namespace paravelle::daemon {
namespace {

using ::testing::ElementsAre;

TEST(SplitCommand, SeparatorsQuotesAndEscapes) {
  EXPECT_THAT(split_command(L"a,,b"), ElementsAre(L"a", L"", L"b"));
  EXPECT_THAT(split_command(L"a,"), ElementsAre(L"a", L""));
  EXPECT_TRUE(split_command(L"").empty());
  EXPECT_THAT(split_command(L"ab\"c,d\"e"), ElementsAre(L"abc,de"));
  EXPECT_THAT(split_command(L"x,a\\nb,c\\\\d,\\\"q\\\""), ElementsAre(L"x", L"a\nb", L"c\\d", L"\"q\""));
  EXPECT_THAT(split_command(L" RenderTask , 12 "), ElementsAre(L" RenderTask ", L" 12 "));
}

TEST(SplitCommand, MalformedEscapesRaise) {
  try {
    split_command(L"TempFolder,C:\\farm");
    FAIL();
  } catch (const boost::escaped_list_error& e) {
    EXPECT_STREQ(e.what(), "unknown escape sequence");
  }
  try {
    split_command(L"a,b\\");
    FAIL();
  } catch (const boost::escaped_list_error& e) {
    EXPECT_STREQ(e.what(), "cannot end with escape");
  }
}

TEST(ParseParameters, WholeFieldMustBeTheNumber) {
  EXPECT_EQ(parse_int32(L"+12"), 12);
  EXPECT_EQ(parse_int32(L"-2147483648"), -2147483647 - 1);
  EXPECT_EQ(parse_int32(L"12a"), std::nullopt);
  EXPECT_EQ(parse_int32(L" 12"), std::nullopt);
  EXPECT_EQ(parse_int32(L"2147483648"), std::nullopt);
  EXPECT_EQ(parse_int32(L""), std::nullopt);
  EXPECT_EQ(parse_float(L"2.2"), 2.2f);
  EXPECT_EQ(parse_float(L"1e-2"), 0.01f);
  EXPECT_EQ(parse_float(L"0.5x"), std::nullopt);
  EXPECT_EQ(parse_bool(L"1"), true);
  EXPECT_EQ(parse_bool(L"0"), false);
  EXPECT_EQ(parse_bool(L"+001"), true);
  EXPECT_EQ(parse_bool(L"-0"), false);
  EXPECT_EQ(parse_bool(L"-1"), std::nullopt);
  EXPECT_EQ(parse_bool(L"true"), std::nullopt);
  EXPECT_EQ(parse_bool(L"2"), std::nullopt);
}

}  // namespace
}  // namespace paravelle::daemon
