#include "transport/text.h"
#include "transport/messages.h"
#include "transport/number_format.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <iterator>
#include <limits>

#include <utf8.h>

namespace paravelle {
namespace {

TEST(Utf8Conversion, EveryMixOfPlainAndOtherCharactersConvertsExactly) {
  // Plain ASCII is converted in blocks; other characters at every offset of a block, at
  // the text's end and in runs must come out exactly as the checked converter gives them.
  const std::u16string others[] = {u"\u20AC", u"\u00E9\U0001F600\u4E2D"};
  for (const std::u16string& other : others) {
    for (std::size_t before = 0; before <= 34; ++before) {
      const std::u16string units = std::u16string(before, u'a') + other + std::u16string(before % 17, u'b');
      std::string expected;
      utf8::utf16to8(units.begin(), units.end(), std::back_inserter(expected));
      const std::wstring wide(units.begin(), units.end());
      ASSERT_EQ(to_utf8(wide), expected) << before;
      ASSERT_EQ(from_utf8(expected), wide) << before;
    }
  }
}

TEST(Utf8Conversion, MalformedTextRaisesAndIsNeverReplaced) {
  for (const std::wstring& unpaired : {std::wstring{L'a', 0xD800}, std::wstring{0xD800, L'a'}, std::wstring{0xDC00}})
    EXPECT_THROW(to_utf8(unpaired), utf8::invalid_utf16);
  EXPECT_THROW(from_utf8("abc\xC3"), utf8::not_enough_room);
  EXPECT_THROW(from_utf8("a\xFF"), utf8::invalid_utf8);
  EXPECT_THROW(from_utf8("\xED\xA0\x80"), utf8::invalid_code_point);
  EXPECT_THROW(from_utf8("\xC0\xAF"), utf8::invalid_utf8);  // overlong '/'
  // Past a block of plain text as at the start; each check in utfcpp's order.
  const std::string block(20, 'x');
  EXPECT_THROW(from_utf8(block + "\xE2\x82"), utf8::not_enough_room);
  EXPECT_THROW(from_utf8(block + "\xE2\x28\xA1"), utf8::invalid_utf8);
  EXPECT_THROW(from_utf8(block + "\xF4\x90\x80\x80"), utf8::invalid_code_point);  // above U+10FFFF
  EXPECT_THROW(from_utf8(block + "\xF0\x8D\xA0\x80"), utf8::invalid_code_point);  // overlong surrogate
  EXPECT_THROW(from_utf8(block + "\xF8\x88\x80\x80\x80"), utf8::invalid_utf8);
  EXPECT_THROW(from_utf8(block + "\x80"), utf8::invalid_utf8);
  try {
    from_utf8("\xFF");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Invalid UTF-8");
  }
}

#if WCHAR_MAX > 0xFFFF
TEST(Utf8Conversion, AWideUnitAboveTheBmpIsTheCharacterItNames) {
  // Wide literals and file names on Linux hold whole characters; cut to 16 bits, U+1F600
  // would become U+F600.
  EXPECT_EQ(to_utf8(std::wstring(1, static_cast<wchar_t>(0x1F600))), "\xF0\x9F\x98\x80");
  EXPECT_THROW(to_utf8(std::wstring(1, static_cast<wchar_t>(0x110000))), utf8::invalid_utf16);
  // U+100E9 is no character of the code page, whatever its low 16 bits say.
  EXPECT_EQ(to_string(std::wstring(1, static_cast<wchar_t>(0x100E9))), "?");
  EXPECT_EQ(convert_wide_string_to_multibyte(std::wstring(1, static_cast<wchar_t>(0x1F600)).c_str(), kCodePageUtf8),
            "\xF0\x9F\x98\x80");
}
#endif

TEST(AnsiConversion, UsesWindows1252AndTheDefaultCharacter) {
  EXPECT_EQ(to_string(L"\u20AC caf\u00E9"), "\x80 caf\xE9");
  EXPECT_EQ(to_wstring("\x80 caf\xE9"), L"\u20AC caf\u00E9");
  EXPECT_EQ(to_string(L"\u4E2D\u6587"), "??");
#ifndef _WIN32
  // Windows' own converter decides how many default characters a surrogate pair becomes.
  EXPECT_EQ(to_string(std::wstring{0xD834, 0xDD1E}), "?");
#endif
  EXPECT_EQ(to_string(std::wstring{0xD800}), "?");
  // Bytes the code page leaves undefined keep their value.
  EXPECT_EQ(to_wstring("\x81"), std::wstring(1, 0x81));
  // Text ends at its first NUL.
  EXPECT_EQ(to_string(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(to_wstring(std::string("ab\0cd", 5)), L"ab");
}

// Only a whole number of milliseconds within the default shortens the farm's time-out;
// anything else, which a mistyped variable would give, leaves the two minutes.
TEST(FarmTimeout, TheEnvironmentShortensItOnlyWithAWholeNumberInRange) {
  const std::pair<const char*, int> cases[] = {
      {nullptr, 120000}, {"", 120000},   {"250", 250},       {"1", 1},        {"120000", 120000},
      {"0", 120000},     {"-5", 120000}, {"120001", 120000}, {"25x", 120000}, {"99999999999", 120000}};
  for (const auto& [value, timeout_ms] : cases)
    EXPECT_EQ(farm_timeout_from(value), timeout_ms) << (value ? value : "(unset)");
}

TEST(NumberFormat, PlainDecimalSixSignificantDigitsAndPointersInHex) {
  EXPECT_EQ(format_number(std::int32_t{-2147483647 - 1}), "-2147483648");
  EXPECT_EQ(format_number(std::numeric_limits<unsigned long long>::max()), "18446744073709551615");
  EXPECT_EQ(format_number(100.0f / 3.0f), "33.3333");
  EXPECT_EQ(format_number(1e6f), "1e+06");
  EXPECT_EQ(format_wide_number(37.5f), L"37.5");
  EXPECT_EQ(format_wide_bool(true) + format_wide_bool(false), L"10");
  EXPECT_EQ(format_pointer(reinterpret_cast<const void*>(0xABCDEFull)), "0000000000ABCDEF");
}

}  // namespace
}  // namespace paravelle
