// The code-page converters where the system has none: Windows-1252 stands for the ANSI
// code page, and UTF-8 is converted leniently, as the system's converter does.

#include "transport/text.h"

#include <array>
#include <cstdint>
#include <cwchar>

#include <utf8.h>

namespace paravelle {
namespace {

constexpr unsigned kErrorInvalidParameter = 87;
constexpr char kDefaultCharacter = '?';

// Windows-1252 bytes 0x80-0x9F; the five bytes the code page leaves undefined map to
// the C1 control of the same value, as the system converter does.
constexpr std::array<char16_t, 32> cp1252_high = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

wchar_t cp1252_to_unit(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return cp1252_high[byte - 0x80];
  return byte;
}

char unit_to_cp1252(char32_t code_point) {
  if (code_point < 0x80 || (code_point >= 0xA0 && code_point <= 0xFF)) return static_cast<char>(code_point);
  for (std::size_t i = 0; i < cp1252_high.size(); ++i)
    if (cp1252_high[i] == code_point) return static_cast<char>(0x80 + i);
  return kDefaultCharacter;
}

bool is_high_surrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(wchar_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// A surrogate pair is one character of the text, so it becomes one default character.
std::string wide_to_cp1252(const std::wstring& text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (is_high_surrogate(text[i]) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
      narrow.push_back(kDefaultCharacter);
      ++i;
    } else {
      // A 32-bit unit above U+FFFF is a character the code page lacks, not its low 16 bits.
      const auto unit = static_cast<std::uint32_t>(text[i]);
      narrow.push_back(unit > 0xFFFF ? kDefaultCharacter : unit_to_cp1252(unit));
    }
  }
  return narrow;
}

// The system's UTF-8 converter replaces malformed input instead of failing.
std::string wide_to_utf8_lenient(const std::wstring& text) {
  std::u16string units;
  for (wchar_t c : text) {
    const auto unit = static_cast<std::uint32_t>(c);
    if (unit <= 0xFFFF) {
      units.push_back(static_cast<char16_t>(unit));
    } else if (unit <= 0x10FFFF) {  // a whole character in a 32-bit unit: its surrogate pair
      units.push_back(static_cast<char16_t>(0xD7C0 + (unit >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (unit & 0x3FF)));
    } else {
      units.push_back(0xFFFD);
    }
  }
  std::string fixed;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    const bool pair = is_high_surrogate(unit) && i + 1 < units.size() && is_low_surrogate(units[i + 1]);
    if (pair) {
      utf8::utf16to8(units.begin() + i, units.begin() + i + 2, std::back_inserter(fixed));
      ++i;
    } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
      utf8::append(0xFFFD, std::back_inserter(fixed));
    } else {
      utf8::append(unit, std::back_inserter(fixed));
    }
  }
  return fixed;
}

std::wstring utf8_to_wide_lenient(const std::string& bytes) {
  std::string valid;
  utf8::replace_invalid(bytes.begin(), bytes.end(), std::back_inserter(valid), 0xFFFD);
  std::wstring wide;
  utf8::utf8to16(valid.begin(), valid.end(), std::back_inserter(wide));
  return wide;
}

// The text quotes the number the system's converter gives for a code page it does not
// know; the code says the same in this system's terms.
[[noreturn]] void raise_conversion_error(const char* converter) {
  throw conversion_error(std::string(converter) + " Error code: " + std::to_string(kErrorInvalidParameter),
                         std::make_error_code(std::errc::invalid_argument));
}

}  // namespace

std::string convert_wide_string_to_multibyte(const wchar_t* text, unsigned code_page,
                                             const std::optional<std::string>& fallback) {
  if (!text) return {};
  const std::wstring whole(text);
  switch (code_page) {
    case kCodePageAnsi:
    case 1252: return wide_to_cp1252(whole);
    case kCodePageUtf8: return wide_to_utf8_lenient(whole);
    default:
      if (fallback) return *fallback;
      raise_conversion_error("convert_wide_string_to_multibyte");
  }
}

std::wstring convert_multibyte_to_wide_string(const char* text, unsigned code_page,
                                              const std::optional<std::wstring>& fallback) {
  if (!text) return {};
  const std::string whole(text);
  switch (code_page) {
    case kCodePageAnsi:
    case 1252: {
      std::wstring wide;
      wide.reserve(whole.size());
      for (char c : whole) wide.push_back(cp1252_to_unit(static_cast<unsigned char>(c)));
      return wide;
    }
    case kCodePageUtf8: return utf8_to_wide_lenient(whole);
    default:
      if (fallback) return *fallback;
      raise_conversion_error("convert_multibyte_to_wide_string");
  }
}

}  // namespace paravelle
