#include "host/standalone/wide_text.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

namespace wide_text = paravelle::host::standalone::wide_text;

// Wide text from explicit UTF-16 units, so the cases do not depend on the size of wchar_t.
std::wstring units(std::initializer_list<unsigned> list) {
  std::wstring text;
  for (const unsigned unit : list) text.push_back(static_cast<wchar_t>(unit));
  return text;
}

TEST(WideText, Utf8IntoUnitsAndBack) {
  const struct {
    std::string utf8;
    std::wstring wide;
  } cases[] = {
      {"", L""},
      {"plain", L"plain"},
      {"caf\xC3\xA9", units({'c', 'a', 'f', 0xE9})},
      {"\xE2\x82\xAC", units({0x20AC})},
      {"\xF0\x9F\x98\x80", units({0xD83D, 0xDE00})},  // outside the first plane: a surrogate pair
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wide_text::from_utf8(c.utf8), c.wide) << c.utf8;
    EXPECT_EQ(wide_text::from_utf8_replacing(c.utf8), c.wide) << c.utf8;
    EXPECT_EQ(wide_text::to_utf8(c.wide), c.utf8) << c.utf8;
    EXPECT_TRUE(wide_text::is_utf8(c.utf8)) << c.utf8;
    EXPECT_TRUE(wide_text::is_utf16(c.wide)) << c.utf8;
  }
}

TEST(WideText, BadInputLosesOnlyTheBadCharacter) {
  const struct {
    std::string bytes;
    std::wstring replaced;
  } bad_utf8[] = {
      {"a\xFF"
       "b",
       units({'a', 0xFFFD, 'b'})},
      {"\xC3\xA9\xC3", units({0xE9, 0xFFFD})},          // cut short at the end
      {"\xED\xA0\x80\xC3\xA9", units({0xFFFD, 0xE9})},  // an encoded surrogate
  };
  for (const auto& c : bad_utf8) {
    EXPECT_THROW(wide_text::from_utf8(c.bytes), std::runtime_error) << c.bytes;
    EXPECT_EQ(wide_text::from_utf8_replacing(c.bytes), c.replaced) << c.bytes;
    EXPECT_FALSE(wide_text::is_utf8(c.bytes)) << c.bytes;
  }

  const struct {
    std::wstring wide;
    std::string utf8;
  } bad_units[] = {
      {units({0xE9, 0xD800, 'b'}), "\xC3\xA9?b"},  // a lone high half
      {units({0xDE00, 0xE9}), "?\xC3\xA9"},        // a low half first
      {units({0xD83D}), "?"},                      // a high half at the end
      {units({'a', 0x1F600}), "a?"},               // not a UTF-16 unit at all
  };
  for (const auto& c : bad_units) {
    EXPECT_EQ(wide_text::to_utf8(c.wide), c.utf8) << c.utf8;
    EXPECT_FALSE(wide_text::is_utf16(c.wide)) << c.utf8;
  }
}

TEST(WideText, TextFilesInEachEncodingTheyComeIn) {
  const struct {
    const char* what;
    std::string bytes;
    std::wstring text;
  } cases[] = {
      {"UTF-8", "caf\xC3\xA9", units({'c', 'a', 'f', 0xE9})},
      {"UTF-8 with its mark",
       "\xEF\xBB\xBF"
       "a\xC3\xA9",
       units({'a', 0xE9})},
      {"Windows-1252", "\x80 caf\xE9", units({0x20AC, ' ', 'c', 'a', 'f', 0xE9})},
      {"a mark before bytes that are not UTF-8", "\xEF\xBB\xBF\xE9", units({0xE9})},
      {"UTF-16LE",
       std::string("\xFF\xFE"
                   "a\0\xAC\x20",
                   6),
       units({'a', 0x20AC})},
      {"UTF-16LE with an odd byte at the end",
       std::string("\xFF\xFE"
                   "a\0b",
                   5),
       units({'a'})},
      {"empty", "", L""},
  };
  for (const auto& c : cases) EXPECT_EQ(wide_text::decode_text_file(c.bytes), c.text) << c.what;
}

}  // namespace
