#include "transport/text.h"

#include <algorithm>
#include <cstdint>

#include <utf8.h>

namespace paravelle {

// Most messages are plain ASCII: copy that prefix in one pass and let the checked
// converter handle the rest, from a character boundary, with its own exceptions.
std::string to_utf8(const std::wstring& text) {
  const auto non_ascii =
      std::find_if(text.begin(), text.end(), [](wchar_t unit) { return static_cast<std::uint32_t>(unit) >= 0x80; });
  std::string bytes(text.begin(), non_ascii);
  if (non_ascii != text.end()) utf8::utf16to8(non_ascii, text.end(), std::back_inserter(bytes));
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
