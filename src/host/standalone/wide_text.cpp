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

std::string to_utf8(const std::wstring& wide) {
  const std::u16string units(wide.begin(), wide.end());
  std::string bytes;
  try {
    utf8::utf16to8(units.begin(), units.end(), std::back_inserter(bytes));
  } catch (const utf8::exception&) {
    bytes.clear();
    for (const char16_t unit : units) bytes.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return bytes;
}

}  // namespace host::standalone::wide_text
