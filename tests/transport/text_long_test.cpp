// Long texts through the conversions: plain runs go a register at a time through a small
// buffer that is flushed to the result as it fills, so other characters just before, on and
// after each flush and at each register's edge must come out exactly as utfcpp gives them.

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <system_error>

#include <utf8.h>

#include "transport/text.h"

namespace paravelle {
namespace {

TEST(Utf8ConversionOfLongTexts, OtherCharactersAroundEveryBufferEdgeConvertExactly) {
  const std::u16string others[] = {u"\u00E9", u"\u20AC\u4E2D", u"\U0001F600"};
  for (const std::u16string& other : others) {
    for (std::size_t edge : {2048u, 8192u}) {
      for (std::size_t before = edge - 70; before <= edge + 3; ++before) {
        const std::u16string units = std::u16string(before, u'a') + other + std::u16string(edge, u'b') + other;
        std::string expected;
        utf8::utf16to8(units.begin(), units.end(), std::back_inserter(expected));
        const std::wstring wide(units.begin(), units.end());
        ASSERT_EQ(to_utf8(wide), expected) << edge << " " << before;
        ASSERT_EQ(from_utf8(expected), wide) << edge << " " << before;
      }
    }
  }
  // A malformed sequence far into a long text raises as it does at the start.
  const std::string long_plain(70000, 'x');
  EXPECT_THROW(from_utf8(long_plain + "\xE2\x28\xA1"), utf8::invalid_utf8);
  EXPECT_THROW(to_utf8(std::wstring(70000, L'x') + wchar_t(0xDC00)), utf8::invalid_utf16);
}

TEST(AnsiConversion, ARefusedCodePageKeepsTheSystemsErrorAsData) {
  try {
    convert_wide_string_to_multibyte(L"x", 12345);
    FAIL() << "the converter took a code page that does not exist";
  } catch (const conversion_error& e) {
#ifdef _WIN32
    EXPECT_EQ(e.code(), std::error_code(87, std::system_category()));
#else
    EXPECT_EQ(e.code(), std::errc::invalid_argument);
#endif
  }
}

}  // namespace
}  // namespace paravelle
