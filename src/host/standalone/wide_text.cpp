#include "host/standalone/wide_text.h"

#include <iterator>
#include <stdexcept>

#include <utf8.h>

namespace host::standalone::wide_text {

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

namespace {

bool is_high_surrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(wchar_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string to_utf8(const std::wstring& wide) {
  // Unpaired halves are replaced first, so the conversion itself cannot fail.
  std::u16string units;
  units.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const wchar_t unit = wide[i];
    if (is_high_surrogate(unit) && i + 1 < wide.size() && is_low_surrogate(wide[i + 1])) {
      units.push_back(static_cast<char16_t>(unit));
      units.push_back(static_cast<char16_t>(wide[++i]));
    } else {
      units.push_back(is_high_surrogate(unit) || is_low_surrogate(unit) ? u'?' : static_cast<char16_t>(unit));
    }
  }
  std::string bytes;
  utf8::utf16to8(units.begin(), units.end(), std::back_inserter(bytes));
  return bytes;
}

}  // namespace host::standalone::wide_text
