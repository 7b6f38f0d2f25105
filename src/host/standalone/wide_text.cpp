#include "host/standalone/wide_text.h"

#include <cstdint>
#include <iterator>
#include <stdexcept>

#include <utf8.h>

namespace paravelle::host::standalone::wide_text {
namespace {

bool is_high_surrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(wchar_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Windows-1252 for 0x80-0x9F; the other bytes are their own code points.
wchar_t from_windows_1252(unsigned char byte) {
  static constexpr wchar_t high[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                       0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                       0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                       0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  return byte >= 0x80 && byte < 0xA0 ? high[byte - 0x80] : static_cast<wchar_t>(byte);
}

// A trailing odd byte is no unit and is dropped.
std::wstring decode_utf16le(const std::string& bytes, std::size_t from) {
  std::wstring text;
  for (std::size_t i = from; i + 1 < bytes.size(); i += 2) {
    const auto low = static_cast<unsigned char>(bytes[i]);
    const auto high = static_cast<unsigned char>(bytes[i + 1]);
    text.push_back(static_cast<wchar_t>(low | (high << 8)));
  }
  return text;
}

}  // namespace

std::wstring from_utf8(const std::string& bytes) {
  std::u16string units;
  try {
    utf8::utf8to16(bytes.begin(), bytes.end(), std::back_inserter(units));
  } catch (const utf8::exception&) {
    throw std::runtime_error("invalid UTF-8 text");
  }
  return std::wstring(units.begin(), units.end());
}

std::wstring from_utf8_replacing(const std::string& bytes) {
  std::string valid;
  utf8::replace_invalid(bytes.begin(), bytes.end(), std::back_inserter(valid), 0xFFFD);
  return from_utf8(valid);
}

std::string to_utf8(const std::wstring& wide) {
  // Bad units are replaced first, so the conversion itself cannot fail.
  std::u16string units;
  units.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const wchar_t unit = wide[i];
    if (is_high_surrogate(unit) && i + 1 < wide.size() && is_low_surrogate(wide[i + 1])) {
      units.push_back(static_cast<char16_t>(unit));
      units.push_back(static_cast<char16_t>(wide[++i]));
    } else if (is_high_surrogate(unit) || is_low_surrogate(unit) || static_cast<std::uint32_t>(unit) > 0xFFFF) {
      units.push_back(u'?');
    } else {
      units.push_back(static_cast<char16_t>(unit));
    }
  }
  std::string bytes;
  utf8::utf16to8(units.begin(), units.end(), std::back_inserter(bytes));
  return bytes;
}

bool is_utf8(const std::string& bytes) { return utf8::is_valid(bytes.begin(), bytes.end()); }

bool is_utf16(const std::wstring& wide) {
  for (std::size_t i = 0; i < wide.size(); ++i) {
    if (static_cast<std::uint32_t>(wide[i]) > 0xFFFF || is_low_surrogate(wide[i])) return false;
    if (!is_high_surrogate(wide[i])) continue;
    if (i + 1 == wide.size() || !is_low_surrogate(wide[i + 1])) return false;
    ++i;
  }
  return true;
}

std::wstring decode_text_file(const std::string& bytes) {
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') return decode_utf16le(bytes, 2);
  // The mark says what the file was meant to be even where a byte of it is not; it is
  // never part of the text.
  const std::string text = utf8::starts_with_bom(bytes.begin(), bytes.end()) ? bytes.substr(3) : bytes;
  if (is_utf8(text)) return from_utf8(text);
  std::wstring wide;
  wide.reserve(text.size());
  for (const char c : text) wide.push_back(from_windows_1252(static_cast<unsigned char>(c)));
  return wide;
}

}  // namespace paravelle::host::standalone::wide_text
