#include "transport/text.h"

#include <algorithm>
#include <cstdint>

#include <utf8.h>

namespace paravelle {
namespace {

bool beyond_16_bits(wchar_t unit) { return static_cast<std::uint32_t>(unit) > 0xFFFF; }

}  // namespace

std::wstring to_utf16_units(std::wstring text) {
  if constexpr (sizeof(wchar_t) > 2) {
    if (std::none_of(text.begin(), text.end(), beyond_16_bits)) return text;
    std::wstring units;
    units.reserve(text.size() + 8);
    for (const wchar_t unit : text) {
      const auto code = static_cast<std::uint32_t>(unit);
      if (code <= 0xFFFF) {
        units.push_back(unit);
      } else if (code <= 0x10FFFF) {
        units.push_back(static_cast<wchar_t>(0xD7C0 + (code >> 10)));
        units.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
      } else {
        units.push_back(0xFFFD);
      }
    }
    return units;
  }
  return text;
}

// Most messages are plain ASCII: copy that prefix in one pass and let the checked
// converter handle the rest, from a character boundary, with its own exceptions. The
// converter reads 16-bit units and would cut a wider one silently, so text that holds
// any goes through its surrogate pairs first.
std::string to_utf8(const std::wstring& text) {
  const auto non_ascii =
      std::find_if(text.begin(), text.end(), [](wchar_t unit) { return static_cast<std::uint32_t>(unit) >= 0x80; });
  std::string bytes(text.begin(), non_ascii);
  if (non_ascii == text.end()) return bytes;
  if (std::none_of(non_ascii, text.end(), beyond_16_bits)) {
    utf8::utf16to8(non_ascii, text.end(), std::back_inserter(bytes));
    return bytes;
  }
  for (auto unit = non_ascii; unit != text.end(); ++unit) {
    if (static_cast<std::uint32_t>(*unit) > 0x10FFFF) throw utf8::invalid_utf16(static_cast<std::uint16_t>(*unit));
  }
  const std::wstring units = to_utf16_units(std::wstring(non_ascii, text.end()));
  utf8::utf16to8(units.begin(), units.end(), std::back_inserter(bytes));
  return bytes;
}

std::wstring from_utf8(const std::string& bytes) {
  const auto non_ascii =
      std::find_if(bytes.begin(), bytes.end(), [](char byte) { return static_cast<unsigned char>(byte) >= 0x80; });
  std::wstring text(bytes.begin(), non_ascii);
  if (non_ascii != bytes.end()) utf8::utf8to16(non_ascii, bytes.end(), std::back_inserter(text));
  return text;
}

std::string to_string(const std::wstring& text) {
  return convert_wide_string_to_multibyte(text.c_str(), code_page_ansi, std::string("<error:to_string>"));
}

std::wstring to_wstring(const std::string& text) {
  return convert_multibyte_to_wide_string(text.c_str(), code_page_ansi, std::wstring(L"<error:to_wstring>"));
}

}  // namespace paravelle
